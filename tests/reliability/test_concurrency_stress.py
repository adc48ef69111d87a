"""Many Python threads on one Database: readers (search, query, get, count, list_ids) beside
writers that insert, upsert, delete and flush, and close() called while searches run. Bounded
in time; the invariants are checked during the run and at the end, and after a reopen."""

import gc
import os
import threading
import time

import numpy as np

import norvex
from reliability_util import DIM, vectors, db_path  # noqa: F401 - fixtures

SECONDS = float(os.environ.get("NORVEX_STRESS_SECONDS", "3"))
STABLE = 150


def test_readers_writers_flush_and_close_together(db_path):
    db = norvex.Database.open(db_path, dimension=DIM, metric="cosine", rerank_precision="f32",
                              wal_flush_threshold=50)
    base = vectors(STABLE, seed=21)
    db.insert_batch([f"s{i}" for i in range(STABLE)], base,
                    [{"stable": True, "i": i} for i in range(STABLE)])
    stop = threading.Event()
    errors = []
    ops = {"reads": 0, "writes": 0}
    lock = threading.Lock()

    def count(kind):
        with lock:
            ops[kind] += 1

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as e:  # noqa: BLE001 - reported at the end
                errors.append(e)
                stop.set()
        return run

    def reader(seed):
        rng = np.random.default_rng(seed)
        while not stop.is_set():
            i = int(rng.integers(STABLE))
            kind = int(rng.integers(6))
            if kind == 0:
                hits = db.search(base[i], 5)
                assert hits[0]["id"] == f"s{i}", hits[:2]
                scores = [h["score"] for h in hits]
                assert scores == sorted(scores, reverse=True)
            elif kind == 1:
                rows = db.query(base[i:i + 2], 3, where_filter={"stable": True})
                assert all(h["id"].startswith("s") for r in rows for h in r)
            elif kind == 2:
                assert db.get(f"s{i}")["metadata"] == {"stable": True, "i": i}
            elif kind == 3:
                assert db.count(filter={"stable": True}) == STABLE
                assert db.count() >= STABLE
            elif kind == 4:
                ids = db.list_ids(where_filter={"stable": True}, limit=10, offset=i % 100)
                assert all(x.startswith("s") for x in ids)
            else:
                assert f"s{i}" in db
                db.stats()
            count("reads")

    def writer(seed):
        rng = np.random.default_rng(seed)
        mine = []
        n = 0
        while not stop.is_set():
            r = rng.random()
            if r < 0.35 or not mine:
                ids = [f"w{seed}-{n + k}" for k in range(int(rng.integers(1, 30)))]
                n += len(ids)
                db.insert_batch(ids, vectors(len(ids), seed=int(rng.integers(1 << 30))))
                mine += ids
            elif r < 0.55:
                db.upsert(mine[int(rng.integers(len(mine)))], vectors(1, seed=n)[0], {"up": 1})
            elif r < 0.75:
                victims = [mine.pop(int(rng.integers(len(mine)))) for _ in range(min(3, len(mine)))]
                assert db.delete_batch(victims) == len(victims)
            elif r < 0.9:
                db.update_metadata(mine[int(rng.integers(len(mine)))], {"m": n}, "doc")
            else:
                db.flush()
            count("writes")

    def closer():
        while not stop.is_set():
            time.sleep(0.05)
            db.close()
            count("writes")

    threads = [threading.Thread(target=guarded(lambda s=s: reader(s))) for s in range(4)]
    threads += [threading.Thread(target=guarded(lambda s=s: writer(s))) for s in range(2)]
    threads.append(threading.Thread(target=guarded(closer)))
    for t in threads:
        t.start()
    time.sleep(SECONDS)
    stop.set()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert not errors, repr(errors[0])
    assert ops["reads"] > 0 and ops["writes"] > 0

    ids = db.list_all()
    assert db.count() == len(ids) == len(set(ids))
    records = {i: db.get(i) for i in ids}
    db.close()
    del db
    gc.collect()
    again = norvex.Database.open(db_path)
    assert sorted(again.list_all()) == sorted(ids)
    assert {i: again.get(i) for i in ids} == records
    print(f"\nstress: {SECONDS:.0f} s, {ops['reads']} reads, {ops['writes']} writes")
