"""create_index and the approximate search path, seen from Python."""

import threading
import time

import numpy as np
import pytest

from conftest import unit_vectors

N = 2000


@pytest.fixture
def indexed(db):
    vectors = unit_vectors(N, seed=31)
    db.insert_batch([f"v{i}" for i in range(N)], vectors,
                    [{"half": "low" if i < N // 2 else "high"} for i in range(N)])
    db.create_index()
    return db, vectors


def test_create_index_with_defaults_indexes_every_vector(indexed):
    db, _ = indexed
    stats = db.stats()
    assert stats["has_index"] is True
    assert stats["index_nodes"] == stats["ann_slot_count"] == N
    assert stats["graph_nodes"] == N


@pytest.mark.parametrize("kwargs", [
    {"alpha": 1},                      # an int alpha is taken as 1.0
    {"max_degree": 8, "ef_construction": 50, "search_list_size": 40, "alpha": 1.1,
     "n_refinements": 1},
    {"max_degree": None, "ef_construction": None, "search_list_size": None, "alpha": None,
     "n_refinements": None},
])
def test_create_index_parameters(db, kwargs):
    db.insert_batch([str(i) for i in range(300)], unit_vectors(300, seed=2))
    assert db.create_index(**kwargs) is None
    assert db.stats()["has_index"] is True


def test_approximate_search_finds_the_stored_vectors(indexed):
    db, vectors = indexed
    found = sum(db.search(vectors[i], 1, _use_ann=True)[0]["id"] == f"v{i}"
                for i in range(0, N, 20))
    assert found >= 0.9 * (N // 20)
    hits = db.search(vectors[5], 10, _use_ann=True, ann_search_list_size=200)
    assert len(hits) == 10
    assert list(hits[0]) == ["id", "score", "metadata"]
    scores = [h["score"] for h in hits]
    assert scores == sorted(scores, reverse=True)


def test_approximate_search_with_filter_and_query(indexed):
    db, vectors = indexed
    hits = db.search(vectors[0], 5, filter={"half": "high"}, _use_ann=True)
    assert len(hits) == 5
    assert all(h["metadata"]["half"] == "high" for h in hits)
    rows = db.query(vectors[:3], n_results=4, _use_ann=True, ann_search_list_size=100)
    assert [len(r) for r in rows] == [4, 4, 4]


def test_writes_discard_the_index_and_metadata_updates_keep_it(indexed):
    db, vectors = indexed
    db.update_metadata("v1", {"half": "low", "touched": True})
    assert db.stats()["has_index"] is True
    db.delete("v2")
    assert db.stats()["has_index"] is False
    # Without an index, an approximate search falls back to the exhaustive one.
    assert db.search(vectors[3], 3, _use_ann=True) == db.search(vectors[3], 3)
    db.create_index()
    assert db.stats()["has_index"] is True
    db.insert("new", vectors[0])
    assert db.stats()["has_index"] is False


def test_index_survives_reopen(db_path, indexed):
    import norvex
    db, vectors = indexed
    db.close()
    reopened = norvex.Database.open(db_path)
    assert reopened.stats()["has_index"] is True
    assert reopened.search(vectors[7], 1, _use_ann=True)[0]["id"] == "v7"


def test_create_index_lets_other_threads_run(db):
    """The graph build runs with the interpreter lock released."""
    db.insert_batch([str(i) for i in range(8000)], unit_vectors(8000, seed=4))
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker, daemon=True)
    t.start()
    try:
        begin = time.monotonic()
        db.create_index()
        end = time.monotonic()
    finally:
        done.set()
        t.join()
    assert len([x for x in ticks if begin < x < end]) >= 5
