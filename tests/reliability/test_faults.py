"""Fault injection: a full disk (a file size limit on the process), a read-only directory and
files removed while the database is open. The failing call raises a clear error, later calls
behave, and once the fault is gone nothing acknowledged is lost (a removed file is gone until
the engine puts it back: wal.log at the next write, the others at the next flush or close).

Each scenario runs in a forked child (limits and user ids are per process) that reports the
acknowledged ids through a pipe; the parent reopens the database and checks them."""

import gc
import json
import os
import pwd
import resource
import shutil
import signal
import tempfile

import numpy as np
import pytest

import norvex
from reliability_util import DIM, vectors


def run_child(body):
    """Runs body(report) in a forked child; report(obj) sends a JSON line to the parent.
    Returns the reported objects; a child that fails raises here with its message."""
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        out = os.fdopen(wfd, "w", buffering=1)
        code = 0
        try:
            body(lambda obj: out.write(json.dumps(obj) + "\n"))
        except BaseException as e:  # noqa: BLE001 - sent to the parent
            out.write(json.dumps({"child_error": f"{type(e).__name__}: {e}"}) + "\n")
            code = 1
        out.flush()
        os._exit(code)
    os.close(wfd)
    with os.fdopen(rfd) as f:
        lines = [json.loads(line) for line in f]
    _, status = os.waitpid(pid, 0)
    errors = [x["child_error"] for x in lines if "child_error" in x]
    assert not errors, errors[0]
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    return lines


def open_db(path):
    return norvex.Database.open(path, dimension=DIM, metric="cosine", rerank_precision="f32",
                                wal_flush_threshold=40)


def check_acknowledged(path, acked):
    db = norvex.Database.open(path)
    ids = db.list_all()
    assert db.count() == len(ids) == len(set(ids))
    missing = [i for i in acked if db.get(i) is None]
    assert not missing, f"{len(missing)} acknowledged ids lost, e.g. {missing[:3]}"
    for i, meta in list(acked.items())[:50]:
        assert db.get(i)["metadata"] == meta
    del db
    gc.collect()


def write_until_failures(db, report, prefix, n, errors, max_errors=5):
    v = vectors(n, seed=hash(prefix) & 0xFFFF)
    for k in range(n):
        i = f"{prefix}{k}"
        meta = {"k": k, "pad": "x" * 200}
        try:
            if k % 5 == 4:
                db.insert_batch([i + "a", i + "b"], v[k:k + 1].repeat(2, axis=0), [meta, meta])
                report({"acked": [i + "a", i + "b"], "meta": meta})
            else:
                db.insert(i, v[k], meta, "document " * 20)
                report({"acked": [i], "meta": meta})
            if k % 17 == 16:
                db.flush()
        except RuntimeError as e:
            errors.append(str(e))
            if len(errors) >= max_errors:
                return


def reopen_after_fault(db, path):
    """Later calls behave: an engine that asks to be reopened is reopened."""
    try:
        db.insert("probe-after-fault", np.ones(DIM, np.float32))
        return db
    except RuntimeError as e:
        assert "reopen" in str(e) or "exists" in str(e), str(e)
        del db
        gc.collect()
        return open_db(path)


@pytest.mark.parametrize("limit", [20_000, 60_000, 150_000, 400_000])
def test_full_disk_fails_clearly_and_loses_nothing_acknowledged(tmp_path, limit):
    path = str(tmp_path / "db")

    def body(report):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
        try:
            db = open_db(path)
        except RuntimeError as e:
            report({"open_error": str(e)})
            resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
            db = open_db(path)
        errors = []
        write_until_failures(db, report, "f", 3000, errors)
        for e in errors:
            report({"error": e})
        # Reads still work while the disk is full.
        db.count()
        db.search(np.ones(DIM, np.float32), 3)
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        db = reopen_after_fault(db, path)
        db.insert("after-fault", np.ones(DIM, np.float32), {"after": True})
        report({"acked": ["after-fault"], "meta": {"after": True}})
        db.flush()
        db.close()

    lines = run_child(body)
    errors = [x["error"] for x in lines if "error" in x] + \
        [x["open_error"] for x in lines if "open_error" in x]
    assert errors, "the size limit never hit a write"
    for e in errors:
        assert "File too large" in e, e
    acked = {i: x["meta"] for x in lines if "acked" in x for i in x["acked"]}
    check_acknowledged(path, acked)


def nobody():
    try:
        return pwd.getpwnam("nobody").pw_uid
    except KeyError:
        return 65534


@pytest.fixture
def shared_dir():
    # Under /tmp with open permissions, so that an unprivileged child can reach it.
    d = tempfile.mkdtemp(prefix="norvex-ro-")
    os.chmod(d, 0o777)
    yield d
    for base, dirs, _ in os.walk(d):
        for x in dirs:
            os.chmod(os.path.join(base, x), 0o777)
    shutil.rmtree(d, ignore_errors=True)


def test_read_only_directory_fails_clearly_and_loses_nothing_acknowledged(shared_dir):
    path = os.path.join(shared_dir, "db")

    def body(report):
        vectors(1)  # imports numpy.random while the interpreter's files are still readable
        if os.geteuid() == 0:
            # Root ignores permission bits: write as an ordinary user.
            os.setgid(nobody())
            os.setuid(nobody())
        db = open_db(path)
        errors = []
        write_until_failures(db, report, "before", 30, errors)
        assert not errors, errors
        os.chmod(path, 0o555)
        write_until_failures(db, report, "ro", 60, errors, max_errors=10)
        try:
            db.flush()
        except RuntimeError as e:
            errors.append(str(e))
        for e in errors:
            report({"error": e})
        assert db.count() >= 30
        os.chmod(path, 0o755)
        db = reopen_after_fault(db, path)
        write_until_failures(db, report, "after", 30, errors)
        db.close()

    lines = run_child(body)
    errors = [x["error"] for x in lines if "error" in x]
    assert errors, "the read-only directory never failed a write"
    for e in errors:
        assert "Permission denied" in e or "reopen" in e, e
    acked = {i: x["meta"] for x in lines if "acked" in x for i in x["acked"]}
    check_acknowledged(path, acked)


def test_read_only_directory_cannot_be_opened_for_writing(shared_dir):
    path = os.path.join(shared_dir, "db")
    db = open_db(path)
    db.insert("a", np.ones(DIM, np.float32))
    db.close()
    del db
    gc.collect()
    for root, dirs, files in os.walk(path):
        for f in files:
            os.chmod(os.path.join(root, f), 0o644)
    os.chmod(path, 0o555)

    def body(report):
        vectors(1)
        if os.geteuid() == 0:
            os.setgid(nobody())
            os.setuid(nobody())
        try:
            db = open_db(path)
        except (RuntimeError, OSError) as e:
            report({"error": str(e)})
            return
        # Opened: reads work, writes fail clearly.
        assert db.get("a") is not None
        try:
            db.insert("b", np.ones(DIM, np.float32))
        except RuntimeError as e:
            report({"error": str(e)})

    lines = run_child(body)
    os.chmod(path, 0o755)
    errors = [x["error"] for x in lines if "error" in x]
    assert errors and all("Permission denied" in e for e in errors), errors
    check_acknowledged(path, {"a": {}})


REMOVABLE = ["wal.log", "metadata.bin", "live_ids.bin", "live_codes.bin", "live_vectors.bin",
             "manifest.json", "quantizer.bin", "graph_ids.json", "LOCK"]


@pytest.mark.parametrize("name", REMOVABLE)
@pytest.mark.parametrize("ending", ["close", "crash"])
def test_file_removed_while_open_loses_nothing_acknowledged(tmp_path, name, ending):
    path = str(tmp_path / "db")

    def body(report):
        db = open_db(path)
        errors = []
        write_until_failures(db, report, "a", 20, errors)
        db.flush()
        write_until_failures(db, report, "b", 5, errors)
        os.remove(os.path.join(path, name)) if os.path.exists(os.path.join(path, name)) else None
        # A removed file is put back by the next flush or close (wal.log at the next write):
        # 20 writes hold a flush (every 17th) and then three writes found in the log alone.
        write_until_failures(db, report, "c", 20, errors)
        for e in errors:
            report({"error": e})
        assert db.count() >= 20
        if ending == "close":
            try:
                db.close()
            except RuntimeError as e:
                report({"error": str(e)})
        # "crash": leave without closing, as a killed process would.

    lines = run_child(body)
    acked = {i: x["meta"] for x in lines if "acked" in x for i in x["acked"]}
    check_acknowledged(path, acked)
