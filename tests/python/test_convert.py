"""Python values <-> stored metadata, and the array extraction rules."""

import math

import numpy as np
import pytest

from conftest import DIM


class Indexable:
    def __index__(self):
        return 7


class Floatable:
    def __float__(self):
        return 2.5


class Opaque:
    pass


# (value stored, value read back)
ROUND_TRIPS = [
    (True, True),
    (False, False),
    (1, 1),
    (0, 0),
    (-5, -5),
    (1.5, 1.5),
    (None, None),
    ("x", "x"),
    ("", ""),
    ("ünïcødé ✓", "ünïcødé ✓"),
    ([1, 2], [1, 2]),
    ([], []),
    ({}, {}),
    ((1, 2), None),                      # tuples are not arrays
    ({1, 2}, None),                      # nor are sets
    (frozenset([1]), None),
    (b"bytes", None),
    (bytearray(b"x"), None),
    (Opaque(), None),
    (float("nan"), None),                # JSON numbers cannot hold NaN or infinities
    (float("inf"), None),
    (float("-inf"), None),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),                # the smallest signed 64-bit integer stays an int
    (2**63, 9.223372036854776e18),       # beyond signed 64 bits: a float
    (2**70, 1.1805916207174113e21),
    (-(2**63) - 1, -9.223372036854776e18),
    (np.int64(-3), -3),
    (np.uint64(2**64 - 1), 1.8446744073709552e19),
    (np.float32(0.5), 0.5),
    (np.float64(0.25), 0.25),
    (np.bool_(True), True),             # NumPy booleans are booleans, not integers
    (Indexable(), 7),
    (Floatable(), 2.5),
    ("\ud800", None),                    # not encodable as UTF-8
    ({"z": 1, "a": {"y": [True, None, 1.0]}}, {"a": {"y": [True, None, 1.0]}, "z": 1}),
    ([1, (2,), {"k": [{}]}], [1, None, {"k": [{}]}]),
]


@pytest.mark.parametrize("value, expected", ROUND_TRIPS)
def test_metadata_value_round_trip(db, value, expected):
    db.insert("a", np.ones(DIM, np.float32), {"v": value})
    got = db.get("a")["metadata"]["v"]
    assert got == expected or (got is None and expected is None)
    assert type(got) is type(expected)


def test_round_trip_survives_reopen(db_path):
    import norvex
    db = norvex.Database.open(db_path, dimension=DIM)
    meta = {"a": True, "b": 1, "c": 1.5, "d": None, "e": "x", "big": 2**63 - 1,
            "neg": -(2**63), "nested": {"z": 1, "a": [1, "two", 3.0, {"q": None}]}}
    db.insert("a", np.ones(DIM, np.float32), meta, "the document")
    db.close()
    got = norvex.Database.open(db_path).get("a")
    assert got == {"id": "a", "metadata": meta, "document": "the document"}
    assert type(got["metadata"]["big"]) is int
    assert list(got["metadata"]["nested"]) == ["a", "z"]


def test_nested_keys_come_back_sorted(db):
    db.insert("a", np.ones(DIM, np.float32), {"n": {"z": 1, "a": 2, "m": {"b": 0, "a": 0}}})
    nested = db.get("a")["metadata"]["n"]
    assert list(nested) == ["a", "m", "z"]
    assert list(nested["m"]) == ["a", "b"]


def test_bool_is_stored_as_bool_not_int(db):
    db.insert("a", np.ones(DIM, np.float32), {"flag": True})
    assert db.count(filter={"flag": True}) == 1
    assert db.count(filter={"flag": 1}) == 0


@pytest.mark.parametrize("metadata", [{1: "x"}, {"ok": {2: "x"}}, {"ok": [{None: 1}]}])
def test_non_str_keys_are_refused(db, metadata):
    with pytest.raises(TypeError, match="cannot be converted to 'PyString'$") as info:
        db.insert("a", np.ones(DIM, np.float32), metadata)
    assert not str(info.value).startswith("argument")
    assert db.count() == 0


def test_non_str_filter_key_is_refused(db):
    with pytest.raises(TypeError, match="cannot be converted to 'PyString'"):
        db.count(filter={"a": {3: 1}})


def test_self_referencing_metadata_is_an_error_not_a_crash(db):
    cyclic = []
    cyclic.append(cyclic)
    looped = {}
    looped["self"] = looped
    for value in (cyclic, looped):
        with pytest.raises(ValueError, match="nested deeper than"):
            db.insert("a", np.ones(DIM, np.float32), {"v": value})
    assert db.count() == 0


def nested(depth):
    value = 0
    for _ in range(depth):
        value = [value]
    return value


def test_nesting_limit_keeps_stored_metadata_readable(db_path):
    import norvex
    db = norvex.Database.open(db_path, dimension=DIM)
    db.insert("deep", np.ones(DIM, np.float32), {"v": nested(126)})
    with pytest.raises(ValueError, match="nested deeper than 126 levels"):
        db.insert("deeper", np.ones(DIM, np.float32), {"v": nested(127)})
    db.close()
    # The deepest accepted value still reads back after a reopen.
    assert norvex.Database.open(db_path).get("deep")["metadata"]["v"] == nested(126)


def test_dict_mutated_during_conversion_is_refused(db):
    metadata = {"a": 1}

    class Mutator:
        def __index__(self):
            metadata["added"] = 2
            return 1

    metadata["b"] = Mutator()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        db.insert("a", np.ones(DIM, np.float32), metadata)


def test_none_and_empty_metadata_are_the_same(db):
    db.insert("a", np.ones(DIM, np.float32), None)
    db.insert("b", np.ones(DIM, np.float32), {})
    assert db.get("a") == {"id": "a", "metadata": {}}
    assert db.get("b") == {"id": "b", "metadata": {}}


@pytest.mark.parametrize("metadata", [[("k", 1)], "k=1", 1])
def test_metadata_must_be_a_dict(db, metadata):
    with pytest.raises(TypeError, match="^argument 'metadata': .* cannot be converted to 'PyDict'$"):
        db.insert("a", np.ones(DIM, np.float32), metadata)


class DictSubclass(dict):
    pass


def test_dict_and_list_subclasses_are_accepted(db):
    db.insert("a", np.ones(DIM, np.float32), DictSubclass(k=DictSubclass(n=1)))
    db.insert_batch(["b"], np.ones((1, DIM), np.float32), metadatas=[DictSubclass(k=2)])
    assert db.get("a")["metadata"] == {"k": {"n": 1}}
    assert db.get("b")["metadata"] == {"k": 2}


# --- arrays ------------------------------------------------------------------------------------

ONE = np.linspace(-1, 1, DIM)

ACCEPTED_VECTORS = [
    ONE.astype(np.float32),
    ONE.astype(np.float64),
    np.repeat(ONE.astype(np.float32), 2)[::2],                 # strided
    ONE.astype(np.float64)[::-1][::-1],                        # negative strides twice
    np.asfortranarray(np.stack([ONE, ONE]).astype(np.float32))[0],
    ONE.astype("<f4"),
]


def readonly(a):
    a = a.copy()
    a.setflags(write=False)
    return a


ACCEPTED_VECTORS.append(readonly(ONE.astype(np.float32)))

REFUSED_VECTORS = [
    list(ONE),
    tuple(ONE),
    ONE.astype(np.float16),
    ONE.astype(np.int64),
    ONE.astype(">f4"),                                         # not native byte order
    ONE.astype(np.float32).reshape(1, DIM),
    np.float32(1.0),
    np.array(1.0),
    memoryview(ONE.astype(np.float32)),                        # not a NumPy array
    "vector",
    None,
]


@pytest.mark.parametrize("vector", ACCEPTED_VECTORS, ids=range(len(ACCEPTED_VECTORS)))
def test_accepted_vector_layouts(db, vector):
    db.insert("a", vector)
    hit = db.search(ONE.astype(np.float32), 1)[0]
    assert hit["id"] == "a"
    assert hit["score"] == pytest.approx(float(np.dot(ONE, ONE)), rel=1e-5)


@pytest.mark.parametrize("vector", REFUSED_VECTORS, ids=range(len(REFUSED_VECTORS)))
def test_refused_vectors(db, vector):
    with pytest.raises(TypeError, match=r"cannot be converted to 'PyArray<T, D>'$") as info:
        db.insert("a", vector)
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match=r"cannot be converted to 'PyArray<T, D>'$"):
        db.search(vector, 1)
    assert db.count() == 0


def test_float32_and_float64_queries_give_the_same_scores(db):
    vectors = np.random.default_rng(1).standard_normal((20, DIM)).astype(np.float32)
    db.insert_batch([str(i) for i in range(20)], vectors)
    q32 = vectors[3]
    assert db.search(q32, 5) == db.search(q32.astype(np.float64), 5)


@pytest.mark.parametrize("matrix", [
    np.ones((2, DIM), np.float32)[:, ::1],
    np.asfortranarray(np.ones((2, DIM), np.float64)),
    np.ones((2, 2 * DIM), np.float32)[:, ::2],
    np.ones((4, DIM), np.float32)[::2],
])
def test_accepted_matrix_layouts(db, matrix):
    db.insert_batch(["a", "b"], matrix)
    assert db.count() == 2


@pytest.mark.parametrize("matrix", [
    [[1.0] * DIM] * 2,
    np.ones((2, DIM), np.float16),
    np.ones((2, DIM), np.int32),
    np.ones(DIM, np.float32),
    np.ones((1, 2, DIM), np.float32),
    np.ones((2, DIM), ">f8"),
])
def test_refused_matrices(db, matrix):
    with pytest.raises(TypeError, match=r"cannot be converted to 'PyArray<T, D>'$"):
        db.insert_batch(["a", "b"], matrix)
    with pytest.raises(ValueError,
                       match=r"^query_embeddings must be a 2-D numpy array \(float32 or float64\)$"):
        db.query(matrix)
