"""Database.open: option conversion, validation order, reopening; flush, close, stats."""

import os

import numpy as np
import pytest

import norvex
from conftest import DIM

Database = norvex.Database

STATS_KEYS = [
    "vector_count", "segment_count", "buffered_vectors", "dimension", "bits",
    "total_disk_bytes", "has_index", "index_nodes", "live_codes_bytes", "live_slot_count",
    "live_id_count", "live_vectors_count", "live_vectors_bytes_estimate", "metadata_entries",
    "metadata_bytes_estimate", "ann_slot_count", "graph_nodes", "ram_estimate_bytes",
]


# (keyword arguments, exception class, exact message or None when only the class is fixed)
BAD_ARGUMENTS = [
    ({"bits": None}, TypeError,
     "argument 'bits': 'NoneType' object cannot be interpreted as an integer"),
    ({"dimension": "8"}, TypeError,
     "argument 'dimension': 'str' object cannot be interpreted as an integer"),
    ({"dimension": 8.0}, TypeError,
     "argument 'dimension': 'float' object cannot be interpreted as an integer"),
    ({"seed": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"seed": 2**64}, OverflowError, None),
    ({"dimension": -8}, OverflowError, "can't convert negative int to unsigned"),
    ({"wal_flush_threshold": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"metric": None}, TypeError,
     "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"),
    ({"metric": 3}, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
    ({"rerank": 1}, TypeError, "argument 'rerank': 'int' object cannot be converted to 'PyBool'"),
    ({"fast_mode": None}, TypeError,
     "argument 'fast_mode': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"normalize": "yes"}, TypeError,
     "argument 'normalize': 'str' object cannot be converted to 'PyBool'"),
    ({"rerank_precision": 16}, TypeError,
     "argument 'rerank_precision': 'int' object cannot be converted to 'PyString'"),
    ({"collection": b"a"}, TypeError,
     "argument 'collection': 'bytes' object cannot be converted to 'PyString'"),
    ({"dimension": 0}, ValueError, "dimension must be at least 1"),
    ({"metric": "Dot"}, ValueError, "Invalid metric: Dot"),
    ({"rerank_precision": "F64"}, ValueError,
     "Invalid rerank_precision: 'f64'. Use 'f16', 'f32', or None (dequant reranking)."),
    ({"unknown": 1}, TypeError, "'unknown' is an invalid keyword argument for open()"),
]


@pytest.mark.parametrize("kwargs, exc, message", BAD_ARGUMENTS)
def test_bad_arguments(db_path, kwargs, exc, message):
    kwargs.setdefault("dimension", DIM)
    with pytest.raises(exc) as info:
        Database.open(db_path, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_argument_errors_come_before_the_disk_is_touched(tmp_path):
    path = tmp_path / "never"
    with pytest.raises(TypeError):
        Database.open(str(path), dimension=DIM, rerank=0)
    with pytest.raises(ValueError):
        Database.open(str(path), dimension=0)
    assert not path.exists()


def test_call_shape_errors_use_the_interpreter_wording(db_path):
    with pytest.raises(TypeError, match=r"^open\(\) missing required argument 'path' \(pos 1\)$"):
        Database.open()
    with pytest.raises(TypeError, match=r"^open\(\) takes at most 11 positional arguments"):
        Database.open(db_path, *range(11))
    with pytest.raises(TypeError, match=r"given by name \('path'\) and position \(1\)"):
        Database.open(db_path, path=db_path)


def test_numpy_scalars_are_accepted_for_ints_and_bools(db_path):
    db = Database.open(db_path, dimension=np.int64(DIM), bits=np.uint8(4), rerank=np.bool_(True))
    assert db.stats()["dimension"] == DIM


def test_missing_manifest_without_dimension_creates_the_directory(tmp_path):
    path = tmp_path / "a" / "b"
    with pytest.raises(ValueError, match="^dimension is required when opening a new database$"):
        Database.open(str(path))
    assert path.is_dir()


def test_directory_creation_failure_is_oserror_before_metric_check(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(OSError) as info:
        Database.open(str(blocker / "db"), dimension=DIM, metric="nonsense")
    assert info.value.errno is not None and info.value.strerror


def test_empty_path_is_refused(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="^path must not be empty$"):
        Database.open("", dimension=DIM)


@pytest.mark.parametrize("written, canonical", [("COSINE", "cosine"), ("Ip", "ip"), ("l2", "l2")])
def test_metric_in_any_letter_case(tmp_path, written, canonical):
    db = Database.open(str(tmp_path / "db"), dimension=DIM, metric=written)
    assert f"metric='{canonical}'" in repr(db)


@pytest.mark.parametrize("written, raw_bytes_per_vector", [
    (None, 0), ("HALF", 2 * DIM), ("f16", 2 * DIM), ("Float", 4 * DIM), ("full", 4 * DIM),
    ("F32", 4 * DIM), ("none", 0), ("Dequant", 0), ("disabled", 0),
])
def test_rerank_precision_names(tmp_path, written, raw_bytes_per_vector):
    db = Database.open(str(tmp_path / "db"), dimension=DIM, rerank_precision=written)
    db.insert_batch(["a", "b"], np.ones((2, DIM), np.float32))
    assert db.stats()["live_vectors_bytes_estimate"] == 2 * raw_bytes_per_vector


def test_reopen_with_only_a_path_takes_stored_parameters(db_path):
    db = Database.open(db_path, dimension=DIM, bits=8, seed=7, metric="l2")
    db.close()
    # A bad metric next to dimension=None is never looked at: the stored one replaces it.
    reopened = Database.open(db_path, metric="not-a-metric")
    stats = reopened.stats()
    assert (stats["dimension"], stats["bits"]) == (DIM, 8)
    assert "metric='l2'" in repr(reopened)


def test_reopen_with_a_different_dimension_is_an_engine_error(db_path):
    Database.open(db_path, dimension=DIM).close()
    with pytest.raises(RuntimeError):
        Database.open(db_path, dimension=DIM + 1)


def test_explicit_none_dimension_is_accepted(db_path):
    Database.open(db_path, dimension=DIM).close()
    assert Database.open(db_path, dimension=None).stats()["dimension"] == DIM


@pytest.mark.parametrize("collection, subdir", [("", None), (None, None), ("a", "a"),
                                                ("x/y", "x/y")])
def test_collection_is_a_subdirectory(tmp_path, collection, subdir):
    root = tmp_path / "root"
    Database.open(str(root), dimension=DIM, collection=collection).close()
    where = root / subdir if subdir else root
    assert (where / "manifest.json").is_file()


def test_absolute_collection_replaces_the_path(tmp_path):
    other = tmp_path / "elsewhere"
    Database.open(str(tmp_path / "root"), dimension=DIM, collection=str(other)).close()
    assert (other / "manifest.json").is_file()


def test_stats_has_the_eighteen_keys_in_order(db):
    db.insert_batch(["a", "b", "c"], np.ones((3, DIM), np.float32),
                    metadatas=[{"k": 1}, {}, {"k": "v"}])
    stats = db.stats()
    assert list(stats) == STATS_KEYS
    assert type(stats["has_index"]) is bool
    assert all(type(stats[k]) is int for k in STATS_KEYS if k != "has_index")
    assert stats["vector_count"] == 3
    assert stats["ram_estimate_bytes"] == (stats["live_codes_bytes"]
                                           + stats["live_vectors_bytes_estimate"]
                                           + stats["metadata_bytes_estimate"])


def test_flush_empties_the_log_buffer(db):
    db.insert("a", np.ones(DIM, np.float32))
    assert db.stats()["buffered_vectors"] == 1
    assert db.flush() is None
    assert db.stats()["buffered_vectors"] == 0


def test_database_stays_usable_after_close(db):
    db.insert("a", np.ones(DIM, np.float32))
    assert db.close() is None
    assert db.close() is None
    db.insert("b", np.ones(DIM, np.float32))
    assert db.count() == 2


def test_dropping_without_close_keeps_logged_writes(db_path):
    db = Database.open(db_path, dimension=DIM)
    db.insert("a", np.ones(DIM, np.float32), {"k": 1})
    del db
    assert Database.open(db_path).get("a") == {"id": "a", "metadata": {"k": 1}}


def test_two_handles_on_one_directory_are_independent(db_path):
    first = Database.open(db_path, dimension=DIM)
    second = Database.open(db_path, dimension=DIM)
    first.insert("a", np.ones(DIM, np.float32))
    assert first.count() == 1
    assert second.count() == 0
    assert os.path.isdir(db_path)
