"""One process per database directory; any number of Database objects within it."""

import gc
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import norvex
from reliability_util import DIM, db_path, db  # noqa: F401 - fixtures

OPEN_IN_OTHER_PROCESS = textwrap.dedent("""
    import sys, norvex
    try:
        norvex.Database.open(sys.argv[1], dimension=%d)
    except RuntimeError as e:
        print("RuntimeError:", e)
        sys.exit(0)
    print("opened")
""" % DIM)


def open_elsewhere(path):
    out = subprocess.run([sys.executable, "-c", OPEN_IN_OTHER_PROCESS, path],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_second_process_is_refused_at_once_with_the_directory_named(db_path, db):
    start = time.monotonic()
    assert open_elsewhere(db_path) == \
        f"RuntimeError: database directory {db_path} is in use by another process"
    assert time.monotonic() - start < 60  # no waiting for the lock


def test_lock_is_released_when_the_last_database_object_goes(db_path):
    db = norvex.Database.open(db_path, dimension=DIM)
    again = norvex.Database.open(db_path)  # the usual re-open pattern in one process
    again.insert("x", np.ones(DIM, np.float32))
    del db
    gc.collect()
    assert open_elsewhere(db_path).startswith("RuntimeError")
    again.close()
    del again
    gc.collect()
    assert open_elsewhere(db_path) == "opened"


def test_killed_holder_leaves_no_stale_lock(tmp_path):
    path = str(tmp_path / "db")
    code = "import norvex, time, sys; db = norvex.Database.open(sys.argv[1], dimension=%d); " \
           "print('ready', flush=True); time.sleep(600)" % DIM
    p = subprocess.Popen([sys.executable, "-c", code, path], stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "ready"
        with pytest.raises(RuntimeError, match="in use by another process"):
            norvex.Database.open(path, dimension=DIM)
    finally:
        p.send_signal(signal.SIGKILL)
        p.wait()
    db = norvex.Database.open(path, dimension=DIM)
    db.insert("after", np.ones(DIM, np.float32))


def _child_writes(db, queue):
    try:
        db.insert("from-child", np.ones(DIM, np.float32))
        queue.put("wrote")
    except RuntimeError as e:
        queue.put("RuntimeError: " + str(e))
    queue.put("read ok" if db.get("parent") is not None else "read failed")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_cannot_write_through_the_parents_database(db_path, db):
    db.insert("parent", np.ones(DIM, np.float32))
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_writes, args=(db, queue))
    child.start()
    first, second = queue.get(timeout=60), queue.get(timeout=60)
    child.join(60)
    assert first.startswith("RuntimeError: ") and "fork()" in first, first
    assert second == "read ok"
    # The parent keeps writing as before.
    db.insert("parent-after", np.ones(DIM, np.float32))
    assert db.get("from-child") is None
