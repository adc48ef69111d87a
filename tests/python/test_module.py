import pytest

import norvex


def test_norvane_db_is_the_database_class():
    assert norvex.NorvaneDB is norvex.Database


def test_database_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        norvex.Database()
