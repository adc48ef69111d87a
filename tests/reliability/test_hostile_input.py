"""Hostile input at the Python surface: every bad value gets a clear exception and changes
nothing; nothing crashes the interpreter, recurses without bound or poisons the index."""

import gc
import math

import numpy as np
import pytest

import norvex
from reliability_util import DIM, vectors, db_path, db  # noqa: F401 - fixtures


def snapshot(db):
    return sorted(db.list_all()), db.count(), {i: db.get(i) for i in db.list_all()}


@pytest.fixture
def filled(db):
    v = vectors(20, seed=1)
    db.insert_batch([f"r{i}" for i in range(20)], v, [{"i": i} for i in range(20)])
    return db, v


# --- ids ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("unit", ["a", "é", "漢", "🎉"])
def test_longest_id_is_kept_and_one_byte_more_is_refused(db_path, db, unit):
    per = len(unit.encode())
    longest = unit * (65535 // per) + "a" * (65535 % per)
    assert len(longest.encode()) == 65535
    too_long = longest + "a"
    v = vectors(2, seed=2)
    db.insert(longest, v[0], {"k": 1})
    before = snapshot(db)
    with pytest.raises(RuntimeError, match=r"id is too long \(65536 bytes, max 65535\)"):
        db.insert(too_long, v[1])
    with pytest.raises(RuntimeError, match="too long"):
        db.insert_batch([too_long], v[1:2])
    with pytest.raises(RuntimeError, match="too long"):
        db.upsert(too_long, v[1])
    assert snapshot(db) == before
    assert db.search(v[0], 1)[0]["id"] == longest
    db.close()
    del db
    gc.collect()
    again = norvex.Database.open(db_path)
    assert again.get(longest) == {"id": longest, "metadata": {"k": 1}}
    assert again.get(too_long) is None


def test_empty_id_and_empty_strings_are_ordinary_values(db_path, db):
    v = vectors(1, seed=3)[0]
    db.insert("", v, {"": "", "e": ""}, "")
    assert db.get("") == {"id": "", "metadata": {"": "", "e": ""}, "document": ""}
    assert db.count(filter={"e": ""}) == 1
    assert db.list_ids(where_filter={"": {"$contains": ""}}) == [""]
    assert "" in db
    db.close()
    del db
    gc.collect()
    assert norvex.Database.open(db_path).get("")["document"] == ""


@pytest.mark.parametrize("bad", ["\ud800", "a\udfffb", "\udc80" * 3])
def test_strings_that_cannot_be_utf8_are_refused_or_dropped(filled, bad):
    db, v = filled
    before = snapshot(db)
    for call in (lambda: db.insert(bad, v[0]), lambda: db.get(bad), lambda: db.delete(bad),
                 lambda: db.insert("ok-id", v[0], None, bad),
                 lambda: db.insert_batch([bad], v[:1]),
                 lambda: db.search(v[0], 1, filter={bad: 1}),
                 lambda: db.list_metadata_values(bad)):
        with pytest.raises((TypeError, ValueError, UnicodeError, RuntimeError)):
            call()
    assert snapshot(db) == before
    # As a metadata value it falls through to null, as documented.
    db.insert("surrogate-value", v[1], {"k": bad})
    assert db.get("surrogate-value")["metadata"] == {"k": None}


# --- metadata nesting --------------------------------------------------------------------------

def nested_list(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = 1
    for _ in range(depth):
        value = {"k": value}
    return value


@pytest.mark.parametrize("make", [nested_list, nested_dict])
def test_deep_metadata_is_refused_with_a_clear_error(filled, make):
    db, v = filled
    before = snapshot(db)
    for depth in (200, 10_000, 200_000):
        with pytest.raises((ValueError, RuntimeError), match="(?i)nest|deep|depth"):
            db.insert("deep", v[0], {"m": make(depth)})
        with pytest.raises((ValueError, RuntimeError), match="(?i)nest|deep|depth"):
            db.search(v[0], 1, filter={"m": make(depth)})
    assert snapshot(db) == before


def test_the_deepest_accepted_metadata_reads_back_after_reopen(db_path, db):
    v = vectors(1, seed=4)[0]
    depth = 0
    for d in range(1, 200):
        try:
            db.upsert("deep", v, {"m": nested_list(d)})
            depth = d
        except (ValueError, RuntimeError):
            break
    assert depth >= 32
    db.close()
    del db
    gc.collect()
    assert norvex.Database.open(db_path).get("deep")["metadata"] == {"m": nested_list(depth)}


def test_cyclic_metadata_is_refused_without_unbounded_recursion(filled):
    db, v = filled
    before = snapshot(db)
    d = {}
    d["self"] = d
    lst = []
    lst.append(lst)
    mixed = {"a": [{"b": None}]}
    mixed["a"][0]["b"] = mixed
    for meta in ({"d": d}, {"l": lst}, mixed):
        with pytest.raises((ValueError, RuntimeError, RecursionError)):
            db.insert("cyclic", v[0], meta)
        with pytest.raises((ValueError, RuntimeError, RecursionError)):
            db.update_metadata("r0", meta)
        with pytest.raises((ValueError, RuntimeError, RecursionError)):
            db.count(filter=meta)
    assert snapshot(db) == before


# --- vectors -----------------------------------------------------------------------------------

BAD_COMPONENTS = [math.nan, math.inf, -math.inf]


@pytest.mark.parametrize("bad", BAD_COMPONENTS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_and_infinite_vectors_are_refused_before_anything_is_written(filled, bad, dtype):
    db, v = filled
    before = snapshot(db)
    row = v[0].astype(dtype)
    row[3] = bad
    rows = v[:3].astype(dtype)
    rows[2, 5] = bad
    calls = [lambda: db.insert("new", row), lambda: db.upsert("r1", row),
             lambda: db.update("r1", row), lambda: db.insert_batch(["n0", "n1", "n2"], rows),
             lambda: db.insert_batch(["n0", "n1", "r2"], rows, mode="upsert")]
    for call in calls:
        with pytest.raises(RuntimeError, match="(?i)finite|nan|inf"):
            call()
    assert snapshot(db) == before
    # The index is not poisoned: scores stay finite and r1 keeps its vector.
    hits = db.search(v[1], 3)
    assert hits[0]["id"] == "r1"
    assert all(math.isfinite(h["score"]) for h in hits)


@pytest.mark.parametrize("bad,alternate", [(math.nan, False), (math.inf, False),
                                           (-math.inf, False), (1e39, True), (3e38, True),
                                           (1e300, False)])
def test_nan_infinite_or_overflowing_queries_get_a_clear_error(filled, bad, alternate):
    db, v = filled
    q = np.full(DIM, bad)
    if alternate:
        q[::2] *= -1
    with pytest.raises(RuntimeError, match="(?i)finite|nan|inf|overflow|large"):
        db.search(q, 3)
    with pytest.raises(RuntimeError, match="(?i)finite|nan|inf|overflow|large"):
        db.query(np.stack([v[1].astype(np.float64), q]), 3)


def test_vectors_too_large_for_float32_are_refused(filled):
    db, v = filled
    before = snapshot(db)
    for big in (np.full(DIM, 1e20, dtype=np.float32), np.full(DIM, 1e39, dtype=np.float64),
                np.full(DIM, 3e38, dtype=np.float32)):
        with pytest.raises(RuntimeError, match="(?i)finite|overflow"):
            db.insert("big", big)
    assert snapshot(db) == before


def test_huge_finite_query_components_give_finite_scores_or_an_error(filled):
    db, v = filled
    for scale in (1e18, 1e30, 1e38):
        q = (v[2] / np.linalg.norm(v[2]) * scale).astype(np.float64)
        try:
            hits = db.search(q, 3)
        except RuntimeError:
            continue
        assert hits and all(math.isfinite(h["score"]) for h in hits)


def test_wrong_dimensions_are_refused(filled):
    db, v = filled
    before = snapshot(db)
    for bad in (np.zeros(DIM - 1, np.float32), np.zeros(DIM + 1, np.float32),
                np.zeros(0, np.float32)):
        with pytest.raises(RuntimeError, match="dimension"):
            db.insert("x", bad)
        with pytest.raises(RuntimeError, match="dimension"):
            db.search(bad, 1)
    with pytest.raises(RuntimeError, match="dimension"):
        db.insert_batch(["x"], np.zeros((1, DIM + 3), np.float32))
    assert snapshot(db) == before


# --- counts and integers -----------------------------------------------------------------------

@pytest.mark.parametrize("k", [20, 21, 10**6, 2**31, 2**32, 2**62, 2**63 - 1, 2**63, 2**64 - 1])
def test_very_large_top_k_returns_every_record(filled, k):
    db, v = filled
    hits = db.search(v[0], k)
    assert sorted(h["id"] for h in hits) == sorted(db.list_all())
    rows = db.query(v[:2], k)
    assert [len(r) for r in rows] == [20, 20]
    assert len(db.list_ids(limit=k)) == 20
    assert db.list_ids(offset=k) == []


@pytest.mark.parametrize("k", [-1, 2**64, -(2**63)])
def test_negative_or_oversized_counts_are_overflow_errors(filled, k):
    db, v = filled
    with pytest.raises(OverflowError):
        db.search(v[0], k)
    with pytest.raises(OverflowError):
        db.list_ids(limit=k)
    with pytest.raises(OverflowError):
        db.query(v[:1], k)


def test_metadata_integers_at_and_beyond_64_bits(db_path, db):
    v = vectors(1, seed=5)[0]
    # Integers outside the signed 64-bit range become floats, as documented.
    meta = {"max_i": 2**63 - 1, "min_i": -(2**63), "over": 2**63, "max_u": 2**64 - 1,
            "under": -(2**63) - 1, "huge": 2**200}
    db.insert("ints", v, meta)
    db.close()
    del db
    gc.collect()
    got = norvex.Database.open(db_path).get("ints")["metadata"]
    assert got["max_i"] == 2**63 - 1 and isinstance(got["max_i"], int)
    assert got["min_i"] == -(2**63) and isinstance(got["min_i"], int)
    for key in ("over", "max_u", "under", "huge"):
        assert isinstance(got[key], float) and got[key] == float(meta[key]), key


@pytest.mark.parametrize("kwargs,exc", [
    ({"dimension": -1}, OverflowError), ({"dimension": 2**64}, OverflowError),
    ({"dimension": 2**40}, RuntimeError), ({"dimension": 0}, ValueError),
    ({"dimension": 4, "bits": 1}, RuntimeError), ({"dimension": 4, "bits": 100}, RuntimeError),
    ({"dimension": 4, "bits": -1}, OverflowError), ({"dimension": 4, "seed": -1}, OverflowError),
    ({"dimension": 4, "seed": 2**64}, OverflowError),
    ({"dimension": 4, "wal_flush_threshold": -1}, OverflowError),
])
def test_bad_open_parameters_are_refused_clearly(tmp_path, kwargs, exc):
    with pytest.raises(exc):
        norvex.Database.open(str(tmp_path / "db"), **kwargs)


def test_extreme_but_valid_open_parameters(tmp_path):
    db = norvex.Database.open(str(tmp_path / "db"), dimension=4, seed=2**64 - 1,
                              wal_flush_threshold=2**64 - 1)
    db.insert("a", np.ones(4, np.float32))
    assert db.count() == 1


@pytest.mark.parametrize("kwargs", [{"max_degree": 2**64 - 1}, {"ef_construction": 2**64 - 1},
                                    {"search_list_size": 2**64 - 1}, {"n_refinements": 2**40},
                                    {"alpha": math.nan}, {"alpha": math.inf}, {"alpha": -1.0},
                                    {"max_degree": 0}])
def test_index_parameters_at_the_extremes_end_cleanly(filled, kwargs):
    db, v = filled
    try:
        db.create_index(**kwargs)
    except (RuntimeError, ValueError):
        pass
    hits = db.search(v[4], 3, _use_ann=True)
    assert hits[0]["id"] == "r4"
