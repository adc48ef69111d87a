"""insert, upsert, update, insert_batch, update_metadata, delete, delete_batch, create_index."""

import numpy as np
import pytest

import norvex

from conftest import DIM, unit_vectors

V = np.ones(DIM, np.float32)


def test_insert_get_and_duplicate(db):
    assert db.insert("a", V, {"k": 1}, "doc") is None
    assert db.get("a") == {"id": "a", "metadata": {"k": 1}, "document": "doc"}
    with pytest.raises(RuntimeError, match="^ID 'a' already exists$"):
        db.insert("a", V)


def test_upsert_writes_whether_or_not_the_id_exists(db):
    db.upsert("a", V, {"v": 1})
    db.upsert("a", V * 2, {"v": 2}, "second")
    assert db.count() == 1
    assert db.get("a") == {"id": "a", "metadata": {"v": 2}, "document": "second"}


def test_update_needs_an_existing_id(db):
    with pytest.raises(RuntimeError, match="^ID 'x' does not exist$"):
        db.update("x", V)
    assert db.count() == 0
    db.insert("x", V, {"v": 1})
    db.update("x", V, {"v": 2})
    assert db.get("x")["metadata"] == {"v": 2}


def test_vector_of_the_wrong_length_is_an_engine_error(db):
    with pytest.raises(RuntimeError):
        db.insert("a", np.ones(DIM + 1, np.float32))
    assert db.count() == 0


# (method, arguments, exception class, exact message)
BAD_WRITE_ARGUMENTS = [
    ("insert", (1, V), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("insert", ("a", V, None, 5), TypeError,
     "argument 'document': 'int' object cannot be converted to 'PyString'"),
    ("insert", ("a",), TypeError, "insert() missing required argument 'vector' (pos 2)"),
    ("upsert", ("a", V, [1]), TypeError,
     "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
    ("update", ("a", V, {}, None, 1), TypeError,
     "update() takes at most 4 positional arguments (5 given)"),
    ("insert_batch", ("ab", np.ones((2, DIM), np.float32)), TypeError,
     "argument 'ids': Can't extract `str` to `Vec`"),
    ("insert_batch", ([1], np.ones((1, DIM), np.float32)), TypeError,
     "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ("insert_batch", (None, np.ones((1, DIM), np.float32)), TypeError,
     "argument 'ids': 'NoneType' object cannot be converted to 'Sequence'"),
    ("insert_batch", (["a"], np.ones((1, DIM), np.float32), None, None, 0), TypeError,
     "argument 'mode': 'int' object cannot be converted to 'PyString'"),
    ("update_metadata", ("a", "meta"), TypeError,
     "argument 'metadata': 'str' object cannot be converted to 'PyDict'"),
    ("delete", (None,), TypeError,
     "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
    ("delete_batch", ("a",), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ("delete_batch", (None,), TypeError,
     "argument 'ids': 'NoneType' object cannot be converted to 'Sequence'"),
    ("delete_batch", ([], []), TypeError,
     "argument 'where_filter': 'list' object cannot be converted to 'PyDict'"),
    ("create_index", (-1,), OverflowError, "can't convert negative int to unsigned"),
    ("create_index", (None, "x"), TypeError,
     "argument 'ef_construction': 'str' object cannot be interpreted as an integer"),
    ("create_index", (None, None, None, "x"), TypeError,
     "argument 'alpha': must be real number, not str"),
]


@pytest.mark.parametrize("method, args, exc, message",
                         BAD_WRITE_ARGUMENTS)
def test_bad_write_arguments_change_nothing(db, method, args, exc, message):
    db.insert("a", V, {"keep": True})
    with pytest.raises(exc) as info:
        getattr(db, method)(*args)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert db.count() == 1
    assert db.get("a")["metadata"] == {"keep": True}


def test_unknown_keyword(db):
    with pytest.raises(TypeError, match=r"^'vec' is an invalid keyword argument for insert\(\)$"):
        db.insert("a", vec=V)


def test_keywords_work_for_every_parameter(db):
    db.insert(id="a", vector=V, metadata={"k": 1}, document="d")
    db.insert_batch(ids=["b"], vectors=V.reshape(1, DIM), metadatas=[{"k": 2}],
                    documents=["e"], mode="insert")
    assert db.get_many(ids=["a", "b"]) == [
        {"id": "a", "metadata": {"k": 1}, "document": "d"},
        {"id": "b", "metadata": {"k": 2}, "document": "e"},
    ]


# --- insert_batch --------------------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["UPSERT", "Upsert", "upsert"])
def test_batch_mode_in_any_letter_case(db, mode):
    db.insert("a", V, {"v": 1})
    db.insert_batch(["a", "b"], np.ones((2, DIM), np.float32), [{"v": 2}, {"v": 3}], mode=mode)
    assert db.get("a")["metadata"] == {"v": 2}
    assert db.count() == 2


def test_batch_update_mode_needs_existing_ids(db):
    with pytest.raises(RuntimeError, match="^ID 'a' does not exist$"):
        db.insert_batch(["a"], np.ones((1, DIM), np.float32), mode="UPDATE")


def test_invalid_mode_is_checked_before_the_vectors(db):
    with pytest.raises(ValueError, match="^Invalid mode$"):
        db.insert_batch(["a"], "not an array", mode="replace")


# (ids, vectors, metadatas, documents, exception, message)
BATCH_VALIDATION = [
    (["a", "b", "c"], np.ones((2, DIM), np.float32), None, None, ValueError, "mismatch"),
    (["a", "b"], np.ones((2, DIM), np.float32), [{}], None, ValueError,
     "metadatas length 1 does not match ids/vectors length 2"),
    (["a", "b"], np.ones((2, DIM), np.float32), None, ["x", "y", "z"], ValueError,
     "documents length 3 does not match ids/vectors length 2"),
    # metadata rows are looked at before document rows
    (["a", "b"], np.ones((2, DIM), np.float32), [{}], ["x"], ValueError,
     "metadatas length 1 does not match ids/vectors length 2"),
    (["a", "b"], np.ones((2, DIM), np.float32), [{}, None], None, TypeError,
     "'NoneType' object cannot be converted to 'PyDict'"),
    (["a", "b"], np.ones((2, DIM), np.float32), None, ["x", 3], TypeError,
     "'int' object cannot be converted to 'PyString'"),
    (["a", "b"], [[1.0] * DIM] * 2, None, None, TypeError,
     "'list' object cannot be converted to 'PyArray<T, D>'"),
]


@pytest.mark.parametrize("ids, vectors, metadatas, documents, exc, message", BATCH_VALIDATION)
def test_batch_validation_writes_nothing(db, ids, vectors, metadatas, documents, exc, message):
    with pytest.raises(exc) as info:
        db.insert_batch(ids, vectors, metadatas, documents)
    assert str(info.value) == message
    assert db.count() == 0


def test_non_list_rows_are_ignored(db):
    vectors = np.ones((2, DIM), np.float32)
    db.insert_batch(["a", "b"], vectors, metadatas=({"k": 1}, {"k": 2}),
                    documents=("x", "y"))
    assert db.get("a") == {"id": "a", "metadata": {}}
    db.insert_batch(["c", "d"], vectors, metadatas=np.array([1, 2]), documents="xy")
    assert db.get("d") == {"id": "d", "metadata": {}}


def test_document_rows_may_hold_none(db):
    db.insert_batch(["a", "b"], np.ones((2, DIM), np.float32), documents=[None, "x"])
    assert db.get("a") == {"id": "a", "metadata": {}}
    assert db.get("b") == {"id": "b", "metadata": {}, "document": "x"}


def test_empty_batch_returns_without_touching_the_engine(db):
    assert db.insert_batch([], np.ones((0, DIM), np.float32)) is None
    # Not even the vector length is checked: nothing reaches the engine.
    assert db.insert_batch([], np.ones((0, DIM + 3), np.float32)) is None
    assert db.count() == 0


def test_ids_may_be_any_sequence_of_str(db):
    db.insert_batch(("a", "b"), np.ones((2, DIM), np.float32))
    db.insert_batch(np.array(["c", "d"]), np.ones((2, DIM), np.float32))
    assert sorted(db.list_all()) == ["a", "b", "c", "d"]


def test_batch_is_chunked_and_a_failing_third_chunk_keeps_the_first_two(db):
    n = 4500
    ids = [f"id{i}" for i in range(n)]
    ids[4000] = "id0"   # the first row of the third chunk repeats an existing id
    vectors = unit_vectors(n)
    metadatas = [{"i": i} for i in range(n)]
    with pytest.raises(RuntimeError, match="^ID 'id0' already exists$"):
        db.insert_batch(ids, vectors, metadatas)
    assert db.count() == 4000
    assert db.get("id3999") == {"id": "id3999", "metadata": {"i": 3999}}
    assert db.get("id4001") is None


def test_large_batch_round_trips_rows_in_order(db):
    n = 4500
    vectors = unit_vectors(n, seed=3)
    db.insert_batch([str(i) for i in range(n)], vectors, [{"i": i} for i in range(n)],
                    [f"doc {i}" for i in range(n)])
    assert db.count() == n
    for i in (0, 1999, 2000, 4000, 4499):
        assert db.get(str(i)) == {"id": str(i), "metadata": {"i": i}, "document": f"doc {i}"}
        assert db.search(vectors[i], 1)[0]["id"] == str(i)


def test_batch_checks_the_flush_threshold_once_after_its_last_chunk(db_path):
    db = norvex.Database.open(db_path, dimension=DIM, wal_flush_threshold=1000)
    db.insert_batch([str(i) for i in range(4500)], unit_vectors(4500))
    stats = db.stats()
    assert (stats["segment_count"], stats["buffered_vectors"]) == (1, 0)


# --- update_metadata, delete, delete_batch ------------------------------------------------------

def test_update_metadata(db):
    db.insert("a", V, {"k": 1}, "doc")
    db.update_metadata("a", {"k": 2})
    assert db.get("a") == {"id": "a", "metadata": {"k": 2}, "document": "doc"}
    db.update_metadata("a", document="new")
    assert db.get("a") == {"id": "a", "metadata": {"k": 2}, "document": "new"}
    db.update_metadata("a")  # neither: nothing changes
    assert db.get("a") == {"id": "a", "metadata": {"k": 2}, "document": "new"}
    with pytest.raises(RuntimeError, match="^ID 'zz' does not exist$"):
        db.update_metadata("zz", {"k": 1})


def test_delete(db):
    db.insert("a", V)
    assert db.delete("a") is True
    assert db.delete("a") is False
    assert db.delete("missing") is False
    assert "a" not in db


def test_delete_batch(db):
    db.insert_batch(["a", "b", "c", "d"], np.ones((4, DIM), np.float32),
                    [{"g": 1}, {"g": 1}, {"g": 2}, {"g": 2}])
    assert db.delete_batch() == 0
    assert db.delete_batch(["a", "a", "missing"]) == 1
    # explicit ids first, then the filter; an overlap is counted once
    assert db.delete_batch(["b"], where_filter={"g": 1}) == 1
    assert db.delete_batch(where_filter={"g": 2}) == 2
    assert db.count() == 0


def test_delete_batch_with_empty_filter_uses_it(db):
    db.insert_batch(["a", "b"], np.ones((2, DIM), np.float32), [{"g": 1}, {}])
    # unlike the read methods, an explicit {} is passed on and matches every record
    assert db.delete_batch(where_filter={}) == 2
