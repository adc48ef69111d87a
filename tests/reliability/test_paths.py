"""Database paths and collection names: ordinary path joining, never a write outside the
directory the caller named, and a clear error for what cannot name a directory."""

import gc
import os

import numpy as np
import pytest

import norvex
from reliability_util import DIM


def files_under(root):
    """Every file and directory below root, relative to it."""
    out = set()
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            out.add(os.path.relpath(os.path.join(base, name), root))
    return out


def open_and_write(path, collection):
    db = norvex.Database.open(path, dimension=DIM, collection=collection)
    db.insert("x", np.ones(DIM, np.float32))
    db.close()
    del db
    gc.collect()


@pytest.mark.parametrize("collection,lands_in", [
    (None, "root/db"), ("", "root/db"), ("c", "root/db/c"), ("a/b", "root/db/a/b"),
    ("..", "root"), ("../x", "root/x"), ("./c/.", "root/db/c"),
])
def test_collection_is_joined_like_a_path(tmp_path, collection, lands_in):
    (tmp_path / "root").mkdir()
    path = str(tmp_path / "root" / "db")
    open_and_write(path, collection)
    home = tmp_path / lands_in
    assert (home / "manifest.json").is_file()
    # Every file written is inside the directory the database landed in; outside it there are
    # at most the (empty) directories that the path itself names on the way, like root/db in
    # root/db/../x.
    for base, dirs, files in os.walk(tmp_path / "root"):
        for name in files:
            f = os.path.join(base, name)
            assert os.path.commonpath([f, str(home)]) == str(home), f
        if os.path.commonpath([base, str(home)]) != str(home) and base != str(tmp_path / "root"):
            assert not files, base
    assert norvex.Database.open(str(home)).get("x") is not None


def test_absolute_collection_replaces_the_path(tmp_path):
    elsewhere = tmp_path / "elsewhere"
    open_and_write(str(tmp_path / "db"), str(elsewhere))
    assert (elsewhere / "manifest.json").is_file()
    assert not (tmp_path / "db" / "manifest.json").exists()


@pytest.mark.parametrize("where", ["path", "collection"])
def test_nul_byte_is_refused_and_creates_nothing(tmp_path, where):
    base = str(tmp_path / "db")
    kwargs = {"dimension": DIM}
    if where == "path":
        path = base + "\0evil"
    else:
        path, kwargs["collection"] = base, "c\0evil"
    with pytest.raises(ValueError, match="(?i)null|nul"):
        norvex.Database.open(path, **kwargs)
    assert files_under(tmp_path) == set()


def test_empty_path_is_refused(tmp_path):
    with pytest.raises(ValueError):
        norvex.Database.open("", dimension=DIM)


def test_path_that_is_a_file_is_an_os_error(tmp_path):
    f = tmp_path / "file"
    f.write_text("not a directory")
    with pytest.raises(OSError):
        norvex.Database.open(str(f), dimension=DIM)
    with pytest.raises(OSError):
        norvex.Database.open(str(f / "below"), dimension=DIM)
    assert f.read_text() == "not a directory"
