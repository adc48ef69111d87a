"""Crash campaign: kill a writing process at random moments and check what survives.

A forked child opens the database and runs a seeded random mix of insert, insert_batch,
upsert, update, update_metadata, delete, delete_batch (by ids and by filter), flush,
create_index and close, plus calls that must fail (an insert of an existing id, a batch
holding a duplicate). Before each call it writes "S <call as JSON>" to a pipe and after it
"A" (returned) or "E <text>" (raised). The parent kills the child with SIGKILL after a random
number of acknowledged calls plus a random delay, reopens the database and checks:

- the database opens, every time;
- every acknowledged write is there with its metadata, document and vector, and nothing
  else is (no deleted id comes back, no id appears twice);
- the call in flight at the kill is, for each id it touches, either fully absent or fully
  applied (a batch may be cut anywhere between ids);
- count(), len() and list_all() agree; a filtered count agrees with get();
- search finds every sampled record by its own vector, with the metadata that get returns.

The observed state becomes the model for the next round, so recovery runs on top of
recovery. Run as a script for long campaigns (scripts/soak):

    python tests/reliability/crash_campaign.py --kills 5000 --seed 1
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import select
import shutil
import signal
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

import norvex

DIM = 16
GROUPS = ["g0", "g1", "g2", "g3", "g4"]
# Keep the database small: verification searches every record.
SOFT_MAX_RECORDS = 300


# ---------------------------------------------------------------------------------------------
# The child: a random workload that reports every call.


def _vector(rng: random.Random) -> list[float]:
    v = np.array([rng.gauss(0.0, 1.0) for _ in range(DIM)], dtype=np.float32)
    return [float(x) for x in v]


def _metadata(rng: random.Random) -> dict:
    m: dict = {"group": rng.choice(GROUPS)}
    if rng.random() < 0.5:
        # Integers beyond the signed 64-bit range are stored as floats by design.
        m["n"] = rng.randint(-(2**63), 2**63 - 1) if rng.random() < 0.1 else rng.randint(-50, 50)
    if rng.random() < 0.3:
        m["f"] = rng.choice([0.5, -1.25, 1e300, 3.141592653589793])
    if rng.random() < 0.3:
        m["s"] = rng.choice(["", "plain", "é ü 漢字 🎉", "x" * 300])
    if rng.random() < 0.2:
        m["nested"] = {"a": [1, "x", None, True], "b": {"c": rng.random() < 0.5}}
    return m


def _document(rng: random.Random):
    return rng.choice([None, None, "a document", "ünïcode document " * 3, ""])


class _Workload:
    def __init__(self, db, rng: random.Random, tag: str, out):
        self.db = db
        self.rng = rng
        self.tag = tag
        self.out = out
        self.live = list(db.list_all())
        self.live_set = set(self.live)
        self.counter = 0

    def send(self, line: str) -> None:
        self.out.write((line + "\n").encode())

    def new_id(self) -> str:
        self.counter += 1
        r = self.rng.random()
        base = f"{self.tag}-{self.counter}"
        if r < 0.05:
            return "ïd/" + base
        if r < 0.08:
            return base + "-" + "L" * 2000
        return base

    def existing(self):
        return self.rng.choice(self.live) if self.live else None

    def _add(self, i):
        if i not in self.live_set:
            self.live_set.add(i)
            self.live.append(i)

    def _remove(self, i):
        if i in self.live_set:
            self.live_set.remove(i)
            self.live.remove(i)

    def next_call(self) -> dict:
        rng = self.rng
        big = len(self.live) > SOFT_MAX_RECORDS
        choices = [
            ("insert", 18), ("insert_batch", 10), ("upsert", 14), ("update", 10),
            ("update_metadata", 10), ("delete", 25 if big else 10), ("delete_batch", 12 if big else 5),
            ("delete_where", 4 if big else 1), ("flush", 4), ("create_index", 1), ("close", 3),
            ("insert_existing", 2), ("batch_with_duplicate", 2),
        ]
        names = [c for c, _ in choices]
        op = rng.choices(names, weights=[w for _, w in choices])[0]
        ex = self.existing()
        if op in ("update", "update_metadata", "insert_existing") and ex is None:
            op = "insert"
        if op == "insert":
            return {"op": op, "id": self.new_id(), "vector": _vector(rng),
                    "metadata": _metadata(rng), "document": _document(rng)}
        if op == "insert_batch":
            n = rng.randint(1, 40)
            ids = [self.new_id() for _ in range(n)]
            mode = "insert"
            if rng.random() < 0.4 and self.live:
                mode = "upsert"
                ids += rng.sample(self.live, min(len(self.live), rng.randint(1, 5)))
                rng.shuffle(ids)
            return {"op": op, "ids": ids, "vectors": [_vector(rng) for _ in ids],
                    "metadatas": [_metadata(rng) for _ in ids],
                    "documents": [_document(rng) for _ in ids], "mode": mode}
        if op == "upsert":
            target = ex if (ex is not None and rng.random() < 0.6) else self.new_id()
            return {"op": op, "id": target, "vector": _vector(rng), "metadata": _metadata(rng),
                    "document": _document(rng)}
        if op == "update":
            return {"op": op, "id": ex, "vector": _vector(rng), "metadata": _metadata(rng),
                    "document": _document(rng)}
        if op == "update_metadata":
            meta = _metadata(rng) if rng.random() < 0.7 else None
            doc = rng.choice([None, "new document", ""])
            return {"op": op, "id": ex, "metadata": meta, "document": doc}
        if op == "delete":
            target = ex if (ex is not None and rng.random() < 0.9) else "never-" + self.new_id()
            return {"op": op, "id": target}
        if op == "delete_batch":
            ids = rng.sample(self.live, min(len(self.live), rng.randint(1, 20)))
            ids.append("never-" + self.new_id())
            return {"op": op, "ids": ids, "where": None}
        if op == "delete_where":
            return {"op": "delete_batch", "ids": [], "where": {"group": rng.choice(GROUPS)}}
        if op == "create_index":
            if len(self.live) > 200:
                return {"op": "flush"}
            return {"op": op}
        if op == "insert_existing":
            return {"op": op, "id": ex, "vector": _vector(rng), "metadata": _metadata(rng),
                    "document": None}
        if op == "batch_with_duplicate":
            ids = [self.new_id() for _ in range(rng.randint(1, 5))]
            ids.append(ids[0])
            return {"op": op, "ids": ids, "vectors": [_vector(rng) for _ in ids]}
        return {"op": op}

    def run(self, call: dict) -> None:
        db, op = self.db, call["op"]
        vec = lambda v: np.asarray(v, dtype=np.float32)  # noqa: E731
        if op == "insert":
            db.insert(call["id"], vec(call["vector"]), call["metadata"], call["document"])
            self._add(call["id"])
        elif op == "insert_batch":
            db.insert_batch(call["ids"], np.asarray(call["vectors"], dtype=np.float32),
                            call["metadatas"], call["documents"], call["mode"])
            for i in call["ids"]:
                self._add(i)
        elif op in ("upsert", "update"):
            getattr(db, op)(call["id"], vec(call["vector"]), call["metadata"], call["document"])
            self._add(call["id"])
        elif op == "update_metadata":
            db.update_metadata(call["id"], call["metadata"], call["document"])
        elif op == "delete":
            db.delete(call["id"])
            self._remove(call["id"])
        elif op == "delete_batch":
            if call["where"] is None:
                db.delete_batch(call["ids"])
            else:
                db.delete_batch(call["ids"], where_filter=call["where"])
                self.live = list(db.list_all())
                self.live_set = set(self.live)
            for i in call["ids"]:
                self._remove(i)
        elif op == "flush":
            db.flush()
        elif op == "close":
            db.close()
        elif op == "create_index":
            db.create_index(max_degree=8, ef_construction=32, search_list_size=32)
        elif op == "insert_existing":
            try:
                db.insert(call["id"], vec(call["vector"]), call["metadata"])
            except RuntimeError:
                return
            raise AssertionError(f"insert of existing id {call['id']!r} succeeded")
        elif op == "batch_with_duplicate":
            try:
                db.insert_batch(call["ids"], np.asarray(call["vectors"], dtype=np.float32))
            except RuntimeError:
                # A refused batch leaves no trace, not even in this process.
                leaked = [i for i in call["ids"] if db.get(i) is not None]
                if leaked:
                    raise AssertionError(f"refused batch left ids behind: {leaked!r}")
                return
            raise AssertionError("batch with a duplicate id succeeded")
        else:
            raise AssertionError(f"unknown call {op}")


def child_main(path: str, seed: int, wfd: int, threshold) -> None:
    """Runs in the forked child; never returns."""
    code = 0
    try:
        out = os.fdopen(wfd, "wb", buffering=0)
        rng = random.Random(seed)
        kwargs = {"dimension": DIM, "metric": "cosine", "rerank_precision": "f32"}
        if threshold is not None:
            kwargs["wal_flush_threshold"] = threshold
        db = norvex.Database.open(path, **kwargs)
        w = _Workload(db, rng, f"r{seed}", out)
        w.send("R")
        for _ in range(400):
            call = w.next_call()
            w.send("S " + json.dumps(call))
            w.run(call)
            w.send("A")
    except AssertionError as e:
        try:
            out.write(("X " + str(e) + "\n").encode())
        except Exception:  # noqa: BLE001
            pass
        code = 3
    except BaseException as e:  # noqa: BLE001
        try:
            out.write(("X unexpected " + type(e).__name__ + ": " + str(e) + "\n").encode())
        except Exception:  # noqa: BLE001
            pass
        code = 4
    os._exit(code)


# ---------------------------------------------------------------------------------------------
# The parent: the model of acknowledged state and the checks after each kill.

# A record as the model keeps it: (vector tuple, metadata dict, document or None).


def _props(metadata):
    return dict(metadata) if metadata else {}


def _matches(record, where) -> bool:
    props = record[1]
    return all(k in props and props[k] == v and type(props[k]) is type(v) for k, v in where.items())


def apply_call(model: dict, call: dict) -> dict:
    """The model after `call` took full effect (a new dict; `model` is not changed)."""
    m = dict(model)
    op = call["op"]
    if op in ("insert", "upsert", "update"):
        m[call["id"]] = (tuple(call["vector"]), _props(call["metadata"]), call["document"])
    elif op == "insert_batch":
        for i, v, md, doc in zip(call["ids"], call["vectors"], call["metadatas"], call["documents"]):
            m[i] = (tuple(v), _props(md), doc)
    elif op == "update_metadata":
        if call["id"] in m:
            v, old_props, old_doc = m[call["id"]]
            props = _props(call["metadata"]) or old_props
            doc = call["document"] if call["document"] is not None else old_doc
            m[call["id"]] = (v, props, doc)
    elif op == "delete":
        m.pop(call["id"], None)
    elif op == "delete_batch":
        for i in call["ids"]:
            m.pop(i, None)
        if call["where"] is not None:
            for i in [i for i, r in m.items() if _matches(r, call["where"])]:
                del m[i]
    return m


@dataclass
class Stats:
    kill_points: int = 0
    acknowledged_calls: int = 0
    acknowledged_writes: int = 0
    records_checked: int = 0
    kills_in_flight: int = 0
    kills_during_open: int = 0
    failures: list = field(default_factory=list)


def _same(a, b) -> bool:
    # Metadata compared by value and by type (1 and 1.0 and True differ).
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def verify(path: str, before: dict, after: dict, stats: Stats, rng: random.Random):
    """Opens the database and checks it against the acknowledged state `before`, with the call in
    flight allowed per id to have taken effect (`after`). Returns the observed model."""
    db = norvex.Database.open(path, dimension=DIM, metric="cosine", rerank_precision="f32")
    problems = []
    ids = db.list_all()
    if len(ids) != len(set(ids)):
        problems.append(f"list_all repeats ids: {len(ids)} listed, {len(set(ids))} distinct")
    if db.count() != len(ids) or len(db) != len(ids):
        problems.append(f"count()={db.count()} len()={len(db)} but list_all has {len(ids)}")
    observed = {}
    for i in set(before) | set(after) | set(ids):
        got = db.get(i)
        options = []
        for state in (before.get(i), after.get(i)):
            if state not in options:
                options.append(state)
        if got is None:
            if None not in options:
                problems.append(f"acknowledged record {i[:60]!r} is missing")
            continue
        if i not in ids:
            problems.append(f"get finds {i[:60]!r} but list_all does not list it")
        match = None
        for state in options:
            if state is not None and _same(got["metadata"], state[1]) and \
                    got.get("document") == state[2]:
                match = state
                break
        if match is None:
            what = "a deleted or unknown id is back" if options == [None] else "wrong metadata"
            problems.append(f"{what}: {i[:60]!r} has {got!r}, expected one of {options!r}")
            continue
        observed[i] = match
    stats.records_checked += len(observed)
    # Search finds sampled records by their own vectors, with get's metadata.
    sample = rng.sample(sorted(observed), min(len(observed), 40))
    for i in sample:
        v, props, doc = observed[i]
        hits = db.search(np.asarray(v, dtype=np.float32), 5)
        hit = next((h for h in hits if h["id"] == i), None)
        if hit is None or hit["score"] < 0.9999:
            problems.append(f"search by its vector does not find {i[:60]!r}: {hits[:2]!r}")
        elif not _same(hit["metadata"], props) or hit.get("document") != doc:
            problems.append(f"search and get disagree on {i[:60]!r}")
    group = rng.choice(GROUPS)
    expected = sum(1 for r in observed.values() if _matches(r, {"group": group}))
    if db.count(filter={"group": group}) != expected:
        problems.append(f"count(filter group={group}) = {db.count(filter={'group': group})}, "
                        f"get says {expected}")
    del db
    gc.collect()
    return observed, problems


def run_round(path: str, model: dict, seed: int, stats: Stats, rng: random.Random,
              max_acks: int, max_delay: float):
    threshold = rng.choice([None, 1, 3, 7, 50])
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        child_main(path, seed, wfd, threshold)
    os.close(wfd)
    # One kill in ten lands while the child opens (and recovers) the database.
    kill_after = 0 if rng.random() < 0.1 else rng.randint(1, max_acks)
    delay = rng.random() * max_delay
    buf = b""
    acked = []
    in_flight = None
    opened = False
    child_error = None
    killed_at = None

    def consume(chunk: bytes):
        nonlocal buf, in_flight, opened, child_error
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            text = line.decode()
            if text == "R":
                opened = True
            elif text.startswith("S "):
                in_flight = json.loads(text[2:])
            elif text == "A":
                acked.append(in_flight)
                in_flight = None
            elif text.startswith("X "):
                child_error = text[2:]

    deadline = time.monotonic() + 60
    eof = False
    while not eof and len(acked) < kill_after and time.monotonic() < deadline:
        ready, _, _ = select.select([rfd], [], [], 1.0)
        if ready:
            chunk = os.read(rfd, 65536)
            if not chunk:
                eof = True
            consume(chunk)
    if not eof:
        time.sleep(delay)
        os.kill(pid, signal.SIGKILL)
        killed_at = len(acked)
    while True:
        chunk = os.read(rfd, 65536)
        if not chunk:
            break
        consume(chunk)
    os.close(rfd)
    _, status = os.waitpid(pid, 0)
    if child_error is not None:
        stats.failures.append(f"seed {seed}: child: {child_error}")
    elif killed_at is None and os.WEXITSTATUS(status) != 0:
        stats.failures.append(f"seed {seed}: child exited with {status}")

    stats.kill_points += 1
    stats.acknowledged_calls += len(acked)
    stats.acknowledged_writes += sum(
        1 for c in acked if c["op"] not in ("flush", "close", "create_index", "insert_existing",
                                            "batch_with_duplicate"))
    if not opened:
        stats.kills_during_open += 1
    if in_flight is not None:
        stats.kills_in_flight += 1
    for call in acked:
        model = apply_call(model, call)
    after = apply_call(model, in_flight) if in_flight is not None else model
    try:
        observed, problems = verify(path, model, after, stats, rng)
    except Exception as e:  # noqa: BLE001 - the database must open every time
        stats.failures.append(f"seed {seed}: reopen failed: {type(e).__name__}: {e}")
        return None
    for p in problems:
        stats.failures.append(f"seed {seed}: {p}" + (f" (in flight: {in_flight['op']})"
                                                     if in_flight else ""))
    return observed if not problems else None


def run_campaign(kills: int, seed: int = 0, workdir=None, fresh_every: int = 25,
                 max_acks: int = 40, max_delay: float = 0.004, log=None) -> Stats:
    rng = random.Random(seed)
    stats = Stats()
    own = workdir is None
    root = tempfile.mkdtemp(prefix="norvex-crash-") if own else workdir
    try:
        model: dict = {}
        path = None
        for k in range(kills):
            if path is None or k % fresh_every == 0:
                path = os.path.join(root, f"db{k}")
                model = {}
            observed = run_round(path, model, seed * 1_000_003 + k, stats, rng, max_acks,
                                 max_delay)
            if observed is None:
                # Keep the evidence and go on from a fresh directory.
                path, model = None, {}
            else:
                model = observed
            if log and (k + 1) % 100 == 0:
                log(f"{k + 1} kill points, {stats.acknowledged_writes} acknowledged writes, "
                    f"{len(stats.failures)} failures")
            if len(stats.failures) > 20:
                break
    finally:
        if own and not stats.failures:
            shutil.rmtree(root, ignore_errors=True)
    return stats


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--kills", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args(argv)
    start = time.monotonic()
    stats = run_campaign(args.kills, args.seed, args.workdir, log=print)
    took = time.monotonic() - start
    print(f"crash campaign: {stats.kill_points} kill points ({stats.kills_in_flight} with a call "
          f"in flight, {stats.kills_during_open} during open), {stats.acknowledged_writes} "
          f"acknowledged writes, {stats.records_checked} record checks, "
          f"{len(stats.failures)} failures, {took:.0f} s")
    for f in stats.failures:
        print("FAIL", f)
    return 1 if stats.failures else 0


if __name__ == "__main__":
    sys.exit(main())
