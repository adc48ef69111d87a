"""search, query, get, get_many, list_all, list_ids, count, list_metadata_values, len, in."""

import numpy as np
import pytest

from conftest import DIM, unit_vectors

N = 30


@pytest.fixture
def filled(db):
    """N unit vectors; even rows have kind A, odd rows kind B; every third row has a document."""
    vectors = unit_vectors(N, seed=5)
    ids = [f"v{i}" for i in range(N)]
    metadatas = [{"kind": "A" if i % 2 == 0 else "B", "i": i} for i in range(N)]
    documents = [f"doc {i}" if i % 3 == 0 else None for i in range(N)]
    db.insert_batch(ids, vectors, metadatas, documents)
    return db, vectors


def test_search_hit_keys_in_order(filled):
    db, vectors = filled
    hits = db.search(vectors[0], 5)
    assert len(hits) == 5
    assert hits[0]["id"] == "v0"
    for hit in hits:
        i = int(hit["id"][1:])
        expected = ["id", "score", "metadata"] + (["document"] if i % 3 == 0 else [])
        assert list(hit) == expected
        assert type(hit["score"]) is float
    scores = [h["score"] for h in hits]
    assert scores == sorted(scores, reverse=True)


@pytest.mark.parametrize("include, keys", [
    (None, ["id", "score", "metadata", "document"]),
    (["score"], ["score"]),
    ([], []),
    (["vector"], []),
    (["document", "id", "id"], ["id", "document"]),
    (("metadata", "score"), ["score", "metadata"]),
    (["id", "score", "metadata", "document", "extra"], ["id", "score", "metadata", "document"]),
])
def test_search_include(filled, include, keys):
    db, vectors = filled
    hits = db.search(vectors[0], 3, include=include)
    assert len(hits) == 3
    assert list(hits[0]) == keys  # v0 has a document


def test_search_include_as_a_string_is_refused(filled):
    db, vectors = filled
    with pytest.raises(TypeError, match="^argument 'include': Can't extract `str` to `Vec`$"):
        db.search(vectors[0], 3, include="id")


def test_search_with_filter(filled):
    db, vectors = filled
    hits = db.search(vectors[1], N, filter={"kind": "B"})
    assert len(hits) == N // 2
    assert {h["metadata"]["kind"] for h in hits} == {"B"}
    assert hits[0]["id"] == "v1"
    hits = db.search(vectors[0], N, filter={"i": {"$gte": 10, "$lt": 20}})
    assert sorted(int(h["id"][1:]) for h in hits) == list(range(10, 20))


def test_empty_filter_means_no_filter(filled):
    db, vectors = filled
    assert db.search(vectors[0], 5, filter={}) == db.search(vectors[0], 5)
    assert db.count(filter={}) == db.count() == N
    assert db.list_ids(where_filter={}) == db.list_ids()


def test_search_exact_scores_with_raw_vectors(filled):
    db, vectors = filled
    q = vectors[7].astype(np.float64)
    hits = db.search(q, N)
    for hit in hits:
        i = int(hit["id"][1:])
        assert hit["score"] == pytest.approx(float(vectors[i].astype(np.float64) @ q), abs=1e-5)


# (method, arguments, exception, message)
BAD_READ_ARGUMENTS = [
    ("search", (np.ones(DIM, np.float32),), TypeError,
     "search() missing required argument 'top_k' (pos 2)"),
    ("search", (np.ones(DIM, np.float32), -1), OverflowError,
     "can't convert negative int to unsigned"),
    ("search", (np.ones(DIM, np.float32), 1.5), TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    ("search", (np.ones(DIM, np.float32), 1, [("k", 1)]), TypeError,
     "argument 'filter': 'list' object cannot be converted to 'PyDict'"),
    ("search", (np.ones(DIM, np.float32), 1, None, 1), TypeError,
     "argument '_use_ann': 'int' object cannot be converted to 'PyBool'"),
    ("search", (np.ones(DIM, np.float32), 1, None, False, -5), OverflowError,
     "can't convert negative int to unsigned"),
    ("search", (np.ones(DIM + 1, np.float32), 1), RuntimeError, None),
    ("query", (np.ones((1, DIM), np.float32), None), TypeError,
     "argument 'n_results': 'NoneType' object cannot be interpreted as an integer"),
    ("query", (np.ones(DIM, np.float32),), ValueError,
     "query_embeddings must be a 2-D numpy array (float32 or float64)"),
    ("query", (np.ones((1, DIM), np.float32), 1, "kind"), TypeError,
     "argument 'where_filter': 'str' object cannot be converted to 'PyDict'"),
    ("query", (np.ones((2, DIM + 1), np.float32),), RuntimeError, None),
    ("get", (3,), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("get_many", ("v1",), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ("get_many", ([1],), TypeError,
     "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ("list_ids", (None, None, None), TypeError,
     "argument 'offset': 'NoneType' object cannot be interpreted as an integer"),
    ("list_ids", (None, -1), OverflowError, "can't convert negative int to unsigned"),
    ("count", ("kind",), TypeError,
     "argument 'filter': 'str' object cannot be converted to 'PyDict'"),
    ("list_metadata_values", (None,), TypeError,
     "argument 'field': 'NoneType' object cannot be converted to 'PyString'"),
    ("list_all", (1,), TypeError, None),
]


@pytest.mark.parametrize("method, args, exc, message",
                         BAD_READ_ARGUMENTS)
def test_bad_read_arguments(filled, method, args, exc, message):
    db, _ = filled
    with pytest.raises(exc) as info:
        getattr(db, method)(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert db.count() == N


def test_huge_counts_are_not_allocated(filled):
    db, vectors = filled
    assert len(db.search(vectors[0], 2**64 - 1)) == N
    assert len(db.query(vectors[:1], n_results=2**63)[0]) == N
    assert len(db.list_ids(limit=2**64 - 1)) == N
    assert db.list_ids(offset=2**64 - 1) == []


def test_query(filled):
    db, vectors = filled
    results = db.query(vectors[:3])
    assert len(results) == 3
    assert [r[0]["id"] for r in results] == ["v0", "v1", "v2"]
    assert all(len(r) == 10 for r in results)
    assert results[0] == db.search(vectors[0], 10)
    assert db.query(vectors[:2].astype(np.float64), n_results=2, where_filter={"kind": "A"}) == [
        db.search(vectors[0], 2, filter={"kind": "A"}),
        db.search(vectors[1], 2, filter={"kind": "A"}),
    ]


def test_query_with_no_rows(filled):
    db, _ = filled
    assert db.query(np.ones((0, DIM), np.float32)) == []


def test_get_and_get_many(filled):
    db, _ = filled
    assert db.get("missing") is None
    a = db.get("v0")
    assert a == {"id": "v0", "metadata": {"kind": "A", "i": 0}, "document": "doc 0"}
    assert list(db.get("v1")) == ["id", "metadata"]
    assert db.get_many(["v0", "missing", "v0"]) == [a, None, a]
    assert db.get_many([]) == []


def test_list_all_and_list_ids(filled):
    db, _ = filled
    everything = [f"v{i}" for i in range(N)]
    assert db.list_all() == everything
    assert db.list_ids(limit=None, offset=0) == everything
    assert db.list_ids(limit=5, offset=2) == everything[2:7]
    assert db.list_ids(limit=0) == []
    assert db.list_ids(offset=N + 5) == []
    assert db.list_ids(where_filter={"kind": "A"}, limit=3, offset=1) == ["v2", "v4", "v6"]


def test_count_len_and_truth_value(filled):
    db, _ = filled
    assert db.count() == len(db) == N
    assert db.count(filter={"kind": "A"}) == N // 2
    assert bool(db) is True
    db.delete_batch(where_filter={})
    assert len(db) == 0
    assert bool(db) is False


def test_contains(filled):
    db, _ = filled
    assert "v3" in db
    assert "missing" not in db
    db.delete("v3")
    assert "v3" not in db
    with pytest.raises(TypeError,
                       match="^argument 'id': 'int' object cannot be converted to 'PyString'$"):
        3 in db  # noqa: B015


def test_list_metadata_values(filled):
    db, _ = filled
    kinds = db.list_metadata_values("kind")
    assert kinds == {"A": N // 2, "B": N // 2}
    assert all(type(v) is int for v in kinds.values())
    assert db.list_metadata_values("i")["7"] == 1
    assert db.list_metadata_values("nothing") == {}
