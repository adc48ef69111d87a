"""Internal faults: a BaseException that poisons the lock when it happens during a write.

The faults are forced through test-only hooks that exist only in builds configured with
-DNORVEX_TEST_HOOKS=ON (scripts/test installs that way).
"""

import numpy as np
import pytest

import norvex
from conftest import DIM, has_test_hooks

pytestmark = pytest.mark.skipif(not has_test_hooks(), reason="built without test hooks")

POISONED = "database lock poisoned: a previous operation panicked; re-open the database"


def raise_fault(call):
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "InternalFault"
    assert type(info.value).__bases__ == (BaseException,)
    assert "forced fault" in str(info.value)
    return info.value


def every_call(db):
    v = np.ones(DIM, np.float32)
    return {
        "insert": lambda: db.insert("z", v),
        "upsert": lambda: db.upsert("z", v),
        "update": lambda: db.update("a", v),
        "insert_batch": lambda: db.insert_batch(["z"], v.reshape(1, DIM)),
        "update_metadata": lambda: db.update_metadata("a", {"k": 2}),
        "delete": lambda: db.delete("a"),
        "delete_batch": lambda: db.delete_batch(["a"]),
        "create_index": lambda: db.create_index(),
        "flush": db.flush,
        "close": db.close,
        "search": lambda: db.search(v, 1),
        "query": lambda: db.query(v.reshape(1, DIM)),
        "get": lambda: db.get("a"),
        "get_many": lambda: db.get_many(["a"]),
        "list_all": db.list_all,
        "list_ids": db.list_ids,
        "count": db.count,
        "list_metadata_values": lambda: db.list_metadata_values("k"),
        "stats": db.stats,
        "len": lambda: len(db),
        "contains": lambda: "a" in db,
    }


def test_fault_under_the_write_lock_poisons_every_later_call(db_path):
    db = norvex.Database.open(db_path, dimension=DIM)
    db.insert("a", np.ones(DIM, np.float32), {"k": 1})
    raise_fault(db._fault_under_write_lock)
    for name, call in every_call(db).items():
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == POISONED, name
    assert repr(db) == f"Database(path={db_path!r}, poisoned=True)"
    # A fresh open builds a new engine and a new lock.
    fresh = norvex.Database.open(db_path)
    assert fresh.get("a") == {"id": "a", "metadata": {"k": 1}}
    fresh.insert("b", np.ones(DIM, np.float32))
    assert fresh.count() == 2


def test_fault_under_a_read_lock_leaves_the_database_usable(db):
    db.insert("a", np.ones(DIM, np.float32))
    raise_fault(db._fault_under_read_lock)
    assert db.count() == 1
    db.insert("b", np.ones(DIM, np.float32))
    assert db.count() == 2


def test_fault_is_not_caught_by_except_exception(db):
    with pytest.raises(BaseException):
        try:
            db._fault_under_write_lock()
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            pytest.fail("an internal fault was caught as an Exception")


def test_with_block_lets_the_fault_through(db_path):
    with pytest.raises(BaseException) as info:
        with norvex.Database.open(db_path, dimension=DIM) as db:
            db._fault_under_write_lock()
    assert type(info.value).__name__ == "InternalFault"
