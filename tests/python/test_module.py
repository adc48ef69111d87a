"""The module surface: the class, its docstrings and text signatures, repr, context manager."""

import inspect

import numpy as np
import pytest

import norvex
from conftest import DIM

METHODS_IN_ORDER = [
    "open", "insert", "insert_batch", "upsert", "update", "delete", "delete_batch", "count",
    "get", "get_many", "list_all", "search", "create_index", "stats", "flush", "close",
    "update_metadata", "query", "list_ids", "list_metadata_values",
]

SIGNATURES = {
    "open": '(path, dimension=None, bits=4, seed=42, metric="ip", rerank=True, fast_mode=False, '
            'rerank_precision=None, collection=None, wal_flush_threshold=None, normalize=False)',
    "insert": "($self, id, vector, metadata=None, document=None)",
    "upsert": "($self, id, vector, metadata=None, document=None)",
    "update": "($self, id, vector, metadata=None, document=None)",
    "insert_batch": '($self, ids, vectors, metadatas=None, documents=None, mode="insert")',
    "update_metadata": "($self, id, metadata=None, document=None)",
    "delete": "($self, id)",
    "delete_batch": "($self, ids=..., where_filter=None)",
    "create_index": "($self, max_degree=None, ef_construction=None, search_list_size=None, "
                    "alpha=None, n_refinements=None)",
    "search": "($self, query, top_k, filter=None, _use_ann=False, ann_search_list_size=None, "
              "include=None)",
    "query": "($self, query_embeddings, n_results=10, where_filter=None, _use_ann=False, "
             "ann_search_list_size=None)",
    "get": "($self, id)",
    "get_many": "($self, ids)",
    "list_all": "($self)",
    "list_ids": "($self, where_filter=None, limit=None, offset=0)",
    "count": "($self, filter=None)",
    "list_metadata_values": "($self, field)",
    "flush": "($self)",
    "close": "($self)",
    "stats": "($self)",
}

CLASS_DOC = """Thread-safe handle to a NorvaneDB database.

All operations are safe to call from multiple Python threads simultaneously.
Reads are concurrent; writes (insert/delete/index) are serialised by an internal
`RwLock`.

Open or create a database with :meth:`Database.open`."""

COUNT_DOC = """Count vectors matching an optional metadata filter.

When called without a filter this is O(1) and equivalent to
``db.stats()["vector_count"]``. With a filter it performs an O(n)
scan and returns the number of matching active vectors.

Args:
    filter: Optional metadata filter dict using the same syntax as
            :meth:`search`.

Returns:
    Integer count of matching vectors.

Example::

    total = db.count()
    ml_docs = db.count(filter={"topic": "ml"})
    recent = db.count(filter={"year": {"$gte": 2023}})"""


def test_norvane_db_is_the_database_class():
    assert norvex.NorvaneDB is norvex.Database
    assert norvex._core.NorvaneDB is norvex._core.Database


def test_module_exposes_only_the_class():
    public = {name for name in vars(norvex._core) if not name.startswith("__")}
    assert public == {"Database", "NorvaneDB"}


def test_database_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        norvex.Database()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        norvex.Database("path", dimension=4)


def test_uninitialised_instance_is_refused_not_crashed():
    raw = norvex.Database.__new__(norvex.Database)
    with pytest.raises(TypeError, match="not initialised"):
        raw.count()
    with pytest.raises(TypeError, match="not initialised"):
        len(raw)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (norvex.Database,), {})


def test_class_identity_and_docstring():
    assert repr(norvex.Database) == "<class 'norvex.Database'>"
    assert norvex.Database.__module__ == "norvex"
    assert norvex.Database.__doc__ == CLASS_DOC


def test_methods_are_registered_in_order():
    names = [n for n in vars(norvex.Database) if n in SIGNATURES]
    assert names == METHODS_IN_ORDER


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signature(name):
    method = getattr(norvex.Database, name)
    assert method.__text_signature__ == SIGNATURES[name]
    inspect.signature(method)  # parses


def test_signature_parameters_are_positional_or_keyword():
    sig = inspect.signature(norvex.Database.search)
    params = list(sig.parameters.values())
    assert params[0].name == "self"
    assert [p.name for p in params[1:]] == [
        "query", "top_k", "filter", "_use_ann", "ann_search_list_size", "include"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params[1:])
    assert sig.parameters["top_k"].default is inspect.Parameter.empty
    assert inspect.signature(norvex.Database.delete_batch).parameters["ids"].default is ...


def test_docstring_bodies():
    assert norvex.Database.count.__doc__ == COUNT_DOC
    assert norvex.Database.insert.__doc__ == (
        "Insert a single vector with optional metadata and document.")
    assert norvex.Database.open.__doc__.startswith(
        "Open (or create) a NorvaneDB database at the given directory path.\n\nArgs:\n")
    for name in ["flush", "close", "stats", "get", "get_many", "list_all", "delete", "upsert",
                 "update", "insert_batch", "create_index"]:
        assert not getattr(norvex.Database, name).__doc__, name


def test_repr_shows_path_dimension_metric_and_count(db_path):
    db = norvex.Database.open(db_path, dimension=DIM, metric="cosine")
    db.insert("a", np.ones(DIM, np.float32))
    assert repr(db) == f"Database(path={db_path!r}, dimension={DIM}, metric='cosine', count=1)"


def test_with_block_closes_and_returns_the_database(db_path):
    with norvex.Database.open(db_path, dimension=DIM) as db:
        assert isinstance(db, norvex.Database)
        db.insert("a", np.ones(DIM, np.float32))
    # close() flushed: the log is empty and the reopened database sees the vector.
    reopened = norvex.Database.open(db_path)
    assert reopened.stats()["buffered_vectors"] == 0
    assert reopened.get("a") == {"id": "a", "metadata": {}}


def test_with_block_does_not_swallow_exceptions(db_path):
    with pytest.raises(KeyError):
        with norvex.Database.open(db_path, dimension=DIM):
            raise KeyError("boom")
