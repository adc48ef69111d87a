"""Threads: readers beside a writer, and the interpreter lock released during engine work."""

import threading
import time

import numpy as np

import norvex
from conftest import DIM, unit_vectors


def test_readers_and_a_writer_run_together_consistently(db):
    base = unit_vectors(200, seed=11)
    db.insert_batch([f"base{i}" for i in range(200)], base, [{"base": True}] * 200)
    extra = unit_vectors(3000, seed=12)
    stop = threading.Event()
    errors = []
    counts_seen = []

    def writer():
        try:
            for start in range(0, len(extra), 100):
                if stop.is_set():
                    return
                rows = range(start, start + 100)
                db.insert_batch([f"x{i}" for i in rows], extra[start:start + 100],
                                [{"base": False} for _ in rows])
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def reader(seed):
        rng = np.random.default_rng(seed)
        last_count = 0
        try:
            while not stop.is_set():
                i = int(rng.integers(200))
                hits = db.search(base[i], 5)
                # The base rows never change: the exact neighbour is always found first.
                assert hits[0]["id"] == f"base{i}"
                assert len(hits) == 5
                scores = [h["score"] for h in hits]
                assert scores == sorted(scores, reverse=True)
                assert db.count(filter={"base": True}) == 200
                count = db.count()
                assert count >= last_count  # the writer only adds
                last_count = count
                counts_seen.append(count)
                assert db.get(f"base{i}")["metadata"] == {"base": True}
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=writer, daemon=True)]
    threads += [threading.Thread(target=reader, args=(s,), daemon=True) for s in range(3)]
    for t in threads:
        t.start()
    time.sleep(1.5)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == []
    assert counts_seen, "the readers made no progress"
    assert db.count() == 200 + len([i for i in db.list_ids() if i.startswith("x")])


def test_long_engine_call_lets_other_threads_run(db):
    """Another thread keeps running Python code while a large insert_batch is in the engine.

    If the interpreter lock were held during engine work, the ticker could not take a single
    step between the start and the end of the call.
    """
    n = 40000
    vectors = unit_vectors(n, seed=21)
    ids = [f"id{i}" for i in range(n)]
    ticks = []
    started = threading.Event()
    done = threading.Event()

    def ticker():
        started.set()
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker, daemon=True)
    t.start()
    started.wait()
    try:
        begin = time.monotonic()
        db.insert_batch(ids, vectors)
        end = time.monotonic()
    finally:
        done.set()
        t.join()
    during = [x for x in ticks if begin < x < end]
    assert len(during) >= 5, f"{len(during)} ticks in {end - begin:.3f}s"
    assert db.count() == n


def test_many_threads_opening_and_writing_their_own_databases(tmp_path):
    errors = []

    def work(k):
        try:
            with norvex.Database.open(str(tmp_path / f"db{k}"), dimension=DIM) as db:
                db.insert_batch([f"{k}-{i}" for i in range(50)], unit_vectors(50, seed=k))
                assert db.count() == 50
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert errors == []
