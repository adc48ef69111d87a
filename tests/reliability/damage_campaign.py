"""Damaged directories: open databases whose files were cut, flipped, replaced or swapped for
something that is not a file, and check that nothing crashes or hangs.

Each case copies a valid database directory, damages one file, and opens it in a forked child
with a time limit. The open must succeed or raise an ordinary exception (RuntimeError, OSError,
ValueError); when it succeeds, reads and writes must do the same. A crash (signal), a fault
(an exception outside Exception), or a hang is a failure. Run as a script for long campaigns:

    python tests/reliability/damage_campaign.py --cases 20000 --seed 1
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import signal
import sys
import tempfile
import time

import numpy as np

import norvex

DIM = 8
TIME_LIMIT = 10.0


def make_database(path: str, seed: int) -> None:
    rng = np.random.default_rng(seed)
    db = norvex.Database.open(path, dimension=DIM, rerank_precision="f16", wal_flush_threshold=1000)
    n = 40
    db.insert_batch([f"id{i}" for i in range(n)], rng.standard_normal((n, DIM)).astype(np.float32),
                    [{"i": i, "g": f"g{i % 3}", "nested": {"a": [i, None]}} for i in range(n)],
                    [f"doc {i}" if i % 2 else None for i in range(n)])
    db.delete_batch([f"id{i}" for i in range(0, n, 7)])
    db.flush()
    try:
        db.create_index(max_degree=4, ef_construction=16)
    except RuntimeError:
        pass  # no graph index in this build
    # A few writes left in the log, not yet flushed.
    for i in range(n, n + 5):
        db.insert(f"id{i}", rng.standard_normal(DIM).astype(np.float32), {"i": i}, "tail")
    db.delete("id1")
    db.update_metadata("id2", {"changed": True})
    del db
    gc.collect()


def damage(path: str, rng: random.Random) -> str:
    names = sorted(os.listdir(path))
    name = rng.choice(names)
    target = os.path.join(path, name)
    size = os.path.getsize(target) if os.path.isfile(target) else 0
    kind = rng.choice(["truncate", "flip", "flip_many", "random", "empty", "remove", "append",
                       "directory", "dev_zero", "fifo", "symlink_loop", "zero_run", "swap"])
    if kind == "truncate" and size:
        with open(target, "r+b") as f:
            f.truncate(rng.randrange(size))
    elif kind in ("flip", "flip_many") and size:
        with open(target, "r+b") as f:
            data = bytearray(f.read())
            for _ in range(1 if kind == "flip" else rng.randint(2, 20)):
                data[rng.randrange(size)] ^= 1 << rng.randrange(8)
            f.seek(0)
            f.write(data)
    elif kind == "zero_run" and size:
        with open(target, "r+b") as f:
            start = rng.randrange(size)
            f.seek(start)
            f.write(b"\0" * min(rng.randint(1, 64), size - start))
    elif kind == "random":
        with open(target, "wb") as f:
            f.write(os.urandom(rng.choice([1, 7, 16, 100, 4096])))
    elif kind == "empty":
        open(target, "wb").close()
    elif kind == "remove":
        os.remove(target)
    elif kind == "append":
        with open(target, "ab") as f:
            f.write(os.urandom(rng.randint(1, 64)))
    elif kind == "directory":
        os.remove(target)
        os.mkdir(target)
    elif kind == "dev_zero":
        os.remove(target)
        os.symlink("/dev/zero", target)
    elif kind == "fifo":
        os.remove(target)
        os.mkfifo(target)
    elif kind == "symlink_loop":
        os.remove(target)
        os.symlink(name, target)
    elif kind == "swap" and len(names) > 1:
        other = os.path.join(path, rng.choice([n for n in names if n != name]))
        tmp = target + ".swap"
        os.rename(target, tmp)
        os.rename(other, target)
        os.rename(tmp, other)
    else:
        kind = "none"
    return f"{kind} {name}"


def exercise(path: str) -> None:
    """What the child does with the damaged database (in the child)."""
    try:
        db = norvex.Database.open(path, dimension=DIM)
    except (RuntimeError, OSError, ValueError):
        return
    q = np.ones(DIM, np.float32)
    for call in (lambda: db.count(), lambda: db.list_all(), lambda: db.search(q, 5),
                 lambda: db.search(q, 5, filter={"g": "g1"}), lambda: db.search(q, 5, _use_ann=True),
                 lambda: db.get("id3"), lambda: db.get_many(["id4", "id5"]),
                 lambda: db.list_metadata_values("g"), lambda: db.stats(),
                 lambda: db.insert("new", q, {"n": 1}), lambda: db.delete("id6"),
                 lambda: db.update_metadata("id8", {"x": 1}), lambda: db.flush(),
                 lambda: db.close()):
        try:
            call()
        except (RuntimeError, OSError, ValueError):
            pass


def run_case(template: str, workdir: str, rng: random.Random, case: int):
    path = os.path.join(workdir, f"case{case}")
    shutil.copytree(template, path, symlinks=True)
    what = damage(path, rng)
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            signal.alarm(int(TIME_LIMIT))
            exercise(path)
        except BaseException as e:  # noqa: BLE001 - a fault or an unexpected exception type
            sys.stderr.write(f"{type(e).__name__}: {e}\n")
            code = 3
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    shutil.rmtree(path, ignore_errors=True)
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        return f"{what}: child died of signal {sig}" + (" (time limit)" if sig == signal.SIGALRM
                                                        else "")
    if os.WEXITSTATUS(status) != 0:
        return f"{what}: exit status {os.WEXITSTATUS(status)}"
    return None


def run_campaign(cases: int, seed: int = 0, workdir=None, log=None):
    rng = random.Random(seed)
    own = workdir is None
    root = tempfile.mkdtemp(prefix="norvex-damage-") if own else workdir
    failures = []
    try:
        template = os.path.join(root, "template")
        make_database(template, seed)
        for case in range(cases):
            failure = run_case(template, root, rng, case)
            if failure:
                failures.append(f"case {case} (seed {seed}): {failure}")
            if log and (case + 1) % 1000 == 0:
                log(f"{case + 1} damaged directories opened, {len(failures)} failures")
    finally:
        if own:
            shutil.rmtree(root, ignore_errors=True)
    return failures


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cases", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    start = time.monotonic()
    failures = run_campaign(args.cases, args.seed, log=print)
    print(f"damage campaign: {args.cases} damaged directories opened, {len(failures)} failures, "
          f"{time.monotonic() - start:.0f} s")
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
