#!/usr/bin/env python3
"""Measure norvex against NumPy, faiss and hnswlib on the same data, in one run.

Writes <out>/benchmarks.md (tables, the machine, the command) and <out>/recall_qps.png
(recall@10 against queries per second).

    pip install ".[bench]"
    python bench/compare.py                 # full run: 100000 x 768 (about 13 minutes here)
    python bench/compare.py --quick --out /tmp/bench   # smoke run: small data, seconds

Data: a clustered synthetic set of unit vectors (fixed seed), queries drawn from the same
clusters, ground truth by exact float64 inner products. Every measurement runs in a child
process pinned to the first T CPUs (T = 1, then 2); norvex's worker pool sizes itself from
that mask, and the peers are told T threads. Times are wall-clock; the load average of the
machine is recorded before and after.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

K = 10


# --- data ---------------------------------------------------------------------------------

def clustered(n: int, queries: int, d: int, clusters: int, seed: int):
    """n data vectors and `queries` query vectors around the same cluster centres."""
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((clusters, d)).astype(np.float32)

    def around(count: int) -> np.ndarray:
        v = centers[rng.integers(0, clusters, count)]
        v = v + 0.6 * rng.standard_normal((count, d)).astype(np.float32)
        return (v / np.linalg.norm(v, axis=1, keepdims=True)).astype(np.float32)

    return around(n), around(queries)


def ground_truth(x: np.ndarray, q: np.ndarray, k: int) -> np.ndarray:
    x64 = x.astype(np.float64)
    out = np.empty((len(q), k), dtype=np.int64)
    for start in range(0, len(q), 100):
        s = q[start:start + 100].astype(np.float64) @ x64.T
        top = np.argpartition(-s, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(s, top, 1), axis=1)
        out[start:start + 100] = np.take_along_axis(top, order, 1)
    return out


def recall(found: list[list[int]], truth: np.ndarray) -> float:
    hits = sum(len(set(f[:K]) & set(t[:K].tolist())) for f, t in zip(found, truth))
    return hits / (K * len(truth))


# --- measurements (run in a pinned child process) ------------------------------------------

def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def dir_bytes(path: str) -> int:
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


def timed(fn, repeat_until: float = 0.0):
    """(result, seconds) of fn(); re-runs it while the total is below repeat_until seconds."""
    start = time.perf_counter()
    result = fn()
    runs = 1
    while time.perf_counter() - start < repeat_until:
        fn()
        runs += 1
    return result, (time.perf_counter() - start) / runs


def norvex_open(path, d, **kw):
    import norvex
    return norvex.Database.open(path, dimension=d, **kw)


def norvex_fill(db, x, metadata=False, chunk=20000):
    for start in range(0, len(x), chunk):
        ids = [str(i) for i in range(start, min(len(x), start + chunk))]
        metas = [{"source": f"doc-{int(i) % 100}", "n": int(i)} for i in ids] if metadata else None
        db.insert_batch(ids, x[start:start + chunk], metas)


def ids_of(hits):
    return [int(h["id"]) for h in hits]


def run_exhaustive(ctx, x, q, truth):
    from threadpoolctl import threadpool_limits
    import faiss

    t = ctx["threads"]
    faiss.omp_set_num_threads(t)
    rows = []
    nq = len(q)
    d = x.shape[1]
    modes = [("norvex search, rerank off", dict(rerank=False)),
             ("norvex search, reconstruction rerank", dict(rerank=True)),
             ("norvex search, f16 raw rerank", dict(rerank=True, rerank_precision="f16"))]
    for name, kw in modes:
        path = tempfile.mkdtemp(dir=ctx["tmp"])
        db = norvex_open(path, d, bits=4, **kw)
        norvex_fill(db, x)
        db.search(q[0], K)  # warm the mapping
        found, secs = timed(lambda: [ids_of(db.search(v, K, include=["id"])) for v in q])
        rows.append(dict(method=name, qps=nq / secs, recall=recall(found, truth)))
        batch = q[:100]
        res, bsecs = timed(lambda: db.query(batch, n_results=K), ctx["min_time"])
        rows.append(dict(method=name.replace("search", "query (100 rows)"), qps=len(batch) / bsecs,
                         recall=recall([ids_of(r) for r in res], truth[:100]), batch=True))
        db.close()
        del db
        shutil.rmtree(path, ignore_errors=True)

    with threadpool_limits(t):
        def numpy_one(v):
            s = x @ v
            top = np.argpartition(-s, K)[:K]
            return top[np.argsort(-s[top])].tolist()
        found, secs = timed(lambda: [numpy_one(v) for v in q])
        rows.append(dict(method="NumPy float32 brute force", qps=nq / secs,
                         recall=recall(found, truth)))

        def numpy_batch(b):
            s = b @ x.T
            top = np.argpartition(-s, K, axis=1)[:, :K]
            return np.take_along_axis(top, np.argsort(-np.take_along_axis(s, top, 1), 1), 1)
        res, bsecs = timed(lambda: numpy_batch(q[:100]), ctx["min_time"])
        rows.append(dict(method="NumPy float32 brute force (100 rows)", qps=100 / bsecs,
                         recall=recall(res.tolist(), truth[:100]), batch=True))

    flat = faiss.IndexFlatIP(d)
    flat.add(x)
    sq = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(x[: min(len(x), 50000)])
    sq.add(x)
    for name, index in (("faiss IndexFlatIP", flat), ("faiss IndexScalarQuantizer 4-bit", sq)):
        found, secs = timed(lambda: [index.search(v[None], K)[1][0].tolist() for v in q])
        rows.append(dict(method=name, qps=nq / secs, recall=recall(found, truth)))
        res, bsecs = timed(lambda: index.search(q[:100], K)[1], ctx["min_time"])
        rows.append(dict(method=name + " (100 rows)", qps=100 / bsecs,
                         recall=recall(res.tolist(), truth[:100]), batch=True))
    return rows


def run_ann(ctx, x, q, truth):
    import faiss
    import hnswlib

    t = ctx["threads"]
    faiss.omp_set_num_threads(t)
    d = x.shape[1]
    nq = len(q)
    out = {}

    path = tempfile.mkdtemp(dir=ctx["tmp"])
    db = norvex_open(path, d, bits=4, rerank=True, rerank_precision="f16")
    norvex_fill(db, x)
    db.close()
    del db
    rss0 = rss_bytes()
    db = norvex_open(path, d)
    start = time.perf_counter()
    try:
        db.create_index()
        build = time.perf_counter() - start
        curve = []
        for ls in ctx["ef_sweep"]:
            found, secs = timed(lambda: [ids_of(db.search(v, K, _use_ann=True,
                                                         ann_search_list_size=ls,
                                                         include=["id"])) for v in q])
            curve.append(dict(param=ls, qps=nq / secs, recall=recall(found, truth)))
        out["norvex graph"] = dict(build_s=build, curve=curve, rss=rss_bytes() - rss0,
                                   disk=dir_bytes(path), param="ann_search_list_size")
    except RuntimeError as e:
        out["norvex graph"] = dict(error=str(e))
    db.close()
    del db
    shutil.rmtree(path, ignore_errors=True)

    rss0 = rss_bytes()
    start = time.perf_counter()
    h = hnswlib.Index(space="ip", dim=d)
    h.init_index(max_elements=len(x), M=16, ef_construction=200, random_seed=1)
    h.add_items(x, np.arange(len(x)), num_threads=t)
    build = time.perf_counter() - start
    h.set_num_threads(t)
    curve = []
    for ef in ctx["ef_sweep"]:
        h.set_ef(max(ef, K))
        found, secs = timed(lambda: [h.knn_query(v, k=K)[0][0].tolist() for v in q])
        curve.append(dict(param=ef, qps=nq / secs, recall=recall(found, truth)))
    out["hnswlib (M=16, ef_construction=200)"] = dict(build_s=build, curve=curve,
                                                      rss=rss_bytes() - rss0, param="ef")
    del h

    rss0 = rss_bytes()
    start = time.perf_counter()
    hf = faiss.IndexHNSWFlat(d, 16, faiss.METRIC_INNER_PRODUCT)
    hf.hnsw.efConstruction = 200
    hf.add(x)
    build = time.perf_counter() - start
    curve = []
    for ef in ctx["ef_sweep"]:
        hf.hnsw.efSearch = max(ef, K)
        found, secs = timed(lambda: [hf.search(v[None], K)[1][0].tolist() for v in q])
        curve.append(dict(param=ef, qps=nq / secs, recall=recall(found, truth)))
    out["faiss IndexHNSWFlat (M=16, efConstruction=200)"] = dict(
        build_s=build, curve=curve, rss=rss_bytes() - rss0, param="efSearch")
    return out


def run_ingest(ctx, x):
    import faiss

    t = ctx["threads"]
    faiss.omp_set_num_threads(t)
    d = x.shape[1]
    rows = []
    for name, kw, meta in (("norvex insert_batch", {}, False),
                           ("norvex insert_batch + metadata", {}, True),
                           ("norvex insert_batch, rerank_precision f16", dict(rerank_precision="f16"),
                            False)):
        path = tempfile.mkdtemp(dir=ctx["tmp"])
        db = norvex_open(path, d, **kw)
        _, secs = timed(lambda: norvex_fill(db, x, metadata=meta, chunk=len(x)))
        rows.append(dict(method=name, per_s=len(x) / secs))
        db.close()
        del db
        shutil.rmtree(path, ignore_errors=True)

    path = tempfile.mkdtemp(dir=ctx["tmp"])
    db = norvex_open(path, d)
    singles = x[: ctx["singles"]]
    start = time.perf_counter()
    for i, v in enumerate(singles):
        db.insert(str(i), v)
    rows.append(dict(method="norvex insert (one vector per call)",
                     per_s=len(singles) / (time.perf_counter() - start)))
    db.close()
    del db
    shutil.rmtree(path, ignore_errors=True)

    flat = faiss.IndexFlatIP(d)
    _, secs = timed(lambda: flat.add(x))
    rows.append(dict(method="faiss IndexFlatIP add", per_s=len(x) / secs))
    sq = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(x[: min(len(x), 50000)])
    _, secs = timed(lambda: sq.add(x))
    rows.append(dict(method="faiss IndexScalarQuantizer 4-bit add (trained)", per_s=len(x) / secs))
    # hnswlib's add_items is its index build, timed in the approximate-search section.
    return rows


def run_footprint(ctx, x):
    d = x.shape[1]
    out = {}
    path = tempfile.mkdtemp(dir=ctx["tmp"])
    db = norvex_open(path, d)
    norvex_fill(db, x)
    db.close()
    del db
    n = len(x)
    npad = 1 << (d - 1).bit_length()
    code = -(-npad * 3 // 8) + -(-npad // 8) + 9
    out["disk_per_vector"] = dir_bytes(path) / n
    out["code_bytes"] = code
    out["files"] = {p.name: p.stat().st_size for p in Path(path).iterdir() if p.is_file()}
    shutil.rmtree(path, ignore_errors=True)

    # Open time and resident memory of a database of many small vectors.
    big_n, big_d = ctx["open_n"], 128
    path = tempfile.mkdtemp(dir=ctx["tmp"])
    rng = np.random.default_rng(5)
    # One flush at close instead of one per call: only the opened result matters here.
    db = norvex_open(path, big_d, wal_flush_threshold=10**9)
    block = rng.standard_normal((20000, big_d)).astype(np.float32)
    for start in range(0, big_n, 20000):
        count = min(20000, big_n - start)
        db.insert_batch([str(i) for i in range(start, start + count)], block[:count],
                        [{"i": i} for i in range(start, start + count)])
    db.close()
    del db
    # A fresh process, so that the resident memory is the open database's alone.
    probe = (
        "import sys, time, numpy, norvex\n"
        "def rss():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmRSS:'): return int(line.split()[1]) * 1024\n"
        "base = rss(); start = time.perf_counter()\n"
        "db = norvex.Database.open(sys.argv[1])\n"
        "print(time.perf_counter() - start, rss() - base, len(db))\n")
    opened = subprocess.run([sys.executable, "-c", probe, path], check=True, capture_output=True,
                            text=True).stdout.split()
    out["open_s"], out["open_rss"] = float(opened[0]), int(opened[1])
    out["open_n"] = int(opened[2])
    out["open_disk_per_vector"] = dir_bytes(path) / big_n
    shutil.rmtree(path, ignore_errors=True)
    return out


def worker(job_path: str) -> None:
    job = json.loads(Path(job_path).read_text())
    data = np.load(job["data"])
    x, q, truth = data["x"], data["q"], data["truth"]
    section = job["section"]
    if section == "exhaustive":
        result = run_exhaustive(job, x, q, truth)
    elif section == "ann":
        result = run_ann(job, x, q, truth)
    elif section == "ingest":
        result = run_ingest(job, x)
    else:
        result = run_footprint(job, x)
    Path(job["result"]).write_text(json.dumps(result))


def run_pinned(job: dict, threads: int, workdir: str) -> object:
    cpus = sorted(os.sched_getaffinity(0))[:threads]
    job = dict(job, threads=threads, tmp=workdir)
    job_path = os.path.join(workdir, f"job-{job['section']}-{threads}.json")
    job["result"] = job_path + ".out"
    Path(job_path).write_text(json.dumps(job))
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", job_path],
                   check=True, env=env, preexec_fn=lambda: os.sched_setaffinity(0, cpus))
    return json.loads(Path(job["result"]).read_text())


# --- report --------------------------------------------------------------------------------

def machine() -> list[str]:
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    lines = [f"- CPU: {model}, {os.cpu_count()} logical CPUs, {mem:.0f} GiB memory",
             f"- OS: {platform.platform()}; Python {platform.python_version()}"]
    versions = []
    from importlib import metadata
    for dist in ("norvex", "numpy", "faiss-cpu", "hnswlib"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{dist} missing")
    lines.append("- Versions: " + ", ".join(versions))
    try:
        from threadpoolctl import threadpool_info
        blas = [f"{i.get('internal_api')} {i.get('version')} ({i.get('architecture')})"
                for i in threadpool_info() if i.get("user_api") == "blas"]
        lines.append("- NumPy BLAS: " + (", ".join(blas) or "unknown"))
    except ImportError:
        pass
    env = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ}
    if env:
        lines.append(f"- Environment: {env}")
    return lines


def write_report(out: Path, args, results: dict, loads: tuple, elapsed: float,
                 command: str) -> None:
    md = ["# Benchmarks", "",
          "Produced by `bench/compare.py`; rerun it to refresh this page.", "",
          "## Command", "", "```", command, "```", "",
          "## Machine", ""]
    md += machine()
    md += [f"- Load average (1, 5, 15 min) before: {tuple(loads[0])}, after: {tuple(loads[1])}",
           f"- Run time: {elapsed / 60:.1f} min", "",
           f"Data: {args.n} clustered unit vectors of dimension {args.d} "
           f"({args.clusters} clusters, seed {args.seed}), {args.queries} queries from the same "
           "clusters, ground truth by exact float64 inner products; recall@10.", ""]

    md += ["## Exhaustive search and batch query", "",
           "| threads | method | queries/s | recall@10 |", "|---|---|---:|---:|"]
    for t in args.threads:
        for r in results["exhaustive"][str(t)]:
            md.append(f"| {t} | {r['method']} | {r['qps']:.1f} | {r['recall']:.3f} |")
    md.append("")

    md += ["## Approximate search", "",
           "| threads | index | build s | memory MiB | parameter | queries/s | recall@10 |",
           "|---|---|---:|---:|---|---:|---:|"]
    for t in args.threads:
        for name, r in results["ann"][str(t)].items():
            if "error" in r:
                md.append(f"| {t} | {name} | - | - | - | - | not available: {r['error']} |")
                continue
            for c in r["curve"]:
                md.append(f"| {t} | {name} | {r['build_s']:.1f} | {r['rss'] / 2**20:.0f} | "
                          f"{r['param']}={c['param']} | {c['qps']:.0f} | {c['recall']:.3f} |")
    md += ["", "Memory: growth of the process's resident set while building (hnswlib, faiss) or "
           "while opening and searching the index (norvex, which maps its files).", ""]

    md += ["## Ingest", "", "| threads | method | vectors/s |", "|---|---|---:|"]
    for t in args.threads:
        for r in results["ingest"][str(t)]:
            md.append(f"| {t} | {r['method']} | {r['per_s']:.0f} |")
        for name, r in results["ann"][str(t)].items():
            if name.startswith("hnswlib") and "build_s" in r:
                md.append(f"| {t} | hnswlib add_items (M=16, ef_construction=200; the build "
                          f"above) | {args.n / r['build_s']:.0f} |")
    md.append("")

    f = results["footprint"]
    md += ["## Footprint", "",
           f"- Bytes on disk per vector (d = {args.d}, b = 4, no raw vectors, ids of up to 6 "
           f"digits, no metadata): {f['disk_per_vector']:.1f}; the code record is "
           f"{f['code_bytes']} bytes",
           f"- Files: {f['files']}",
           f"- Database of {f['open_n']} vectors (d = 128, metadata {{\"i\": n}}): open "
           f"{f['open_s'] * 1000:.0f} ms, resident memory after open "
           f"{f['open_rss'] / 2**20:.0f} MiB, {f['open_disk_per_vector']:.1f} bytes per vector "
           "on disk", ""]
    (out / "benchmarks.md").write_text("\n".join(md) + "\n")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, len(args.threads), figsize=(7 * len(args.threads), 5),
                             squeeze=False)
    for ax, t in zip(axes[0], args.threads):
        for r in results["exhaustive"][str(t)]:
            if not r.get("batch"):
                ax.scatter(r["recall"], r["qps"], label=r["method"], marker="s")
        for name, r in results["ann"][str(t)].items():
            if "curve" in r:
                ax.plot([c["recall"] for c in r["curve"]], [c["qps"] for c in r["curve"]],
                        marker="o", label=name)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second")
        ax.set_title(f"{args.n} x {args.d}, {t} thread{'s' if t > 1 else ''}")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(out / "recall_qps.png", dpi=110)


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(sys.argv[2])
        return
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small smoke run (checks the script)")
    p.add_argument("--out", default=str(Path(__file__).resolve().parent.parent / "docs"))
    p.add_argument("--n", type=int, default=100000)
    p.add_argument("--d", type=int, default=768)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--clusters", type=int, default=1000)
    p.add_argument("--seed", type=int, default=1234)
    p.add_argument("--threads", default="1,2")
    p.add_argument("--open-n", type=int, default=1000000)
    p.add_argument("--render", metavar="JSON",
                   help="only rewrite the report from the benchmarks.json of an earlier run "
                        "(pass the same data options as that run)")
    args = p.parse_args()
    if args.quick:
        args.n, args.d, args.queries, args.clusters, args.open_n = 3000, 64, 100, 30, 20000
        args.threads = "1"
    args.threads = [int(t) for t in args.threads.split(",")]
    cpus = len(os.sched_getaffinity(0))
    args.threads = [t for t in args.threads if t <= cpus] or [1]
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.render:
        saved = json.loads(Path(args.render).read_text())
        write_report(out, args, saved["results"], tuple(saved["loads"]), saved["elapsed"],
                     saved["command"])
        return

    begin = time.perf_counter()
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="norvex-bench-") as work:
        x, q = clustered(args.n, args.queries, args.d, args.clusters, args.seed)
        truth = ground_truth(x, q, K)
        data = os.path.join(work, "data.npz")
        np.savez(data, x=x, q=q, truth=truth)
        job = dict(data=data, min_time=0.5 if not args.quick else 0.0,
                   ef_sweep=[10, 16, 24, 32, 48, 64, 96, 128, 192, 256],
                   singles=20000 if not args.quick else 500, open_n=args.open_n)
        results: dict = {"exhaustive": {}, "ann": {}, "ingest": {}}
        for t in args.threads:
            for section in ("exhaustive", "ann", "ingest"):
                print(f"[{time.perf_counter() - begin:7.1f}s] {section}, {t} thread(s)",
                      flush=True)
                results[section][str(t)] = run_pinned(dict(job, section=section), t, work)
                (out / "benchmarks.partial.json").write_text(json.dumps(results, indent=1))
        print(f"[{time.perf_counter() - begin:7.1f}s] footprint", flush=True)
        results["footprint"] = run_pinned(dict(job, section="footprint"), 1, work)
    loads = (tuple(round(v, 1) for v in load_before),
             tuple(round(v, 1) for v in os.getloadavg()))
    elapsed = time.perf_counter() - begin
    command = "python " + " ".join(sys.argv)
    (out / "benchmarks.json").write_text(json.dumps(
        dict(results=results, loads=loads, elapsed=elapsed, command=command), indent=1))
    (out / "benchmarks.partial.json").unlink(missing_ok=True)
    write_report(out, args, results, loads, elapsed, command)
    print(f"wrote {out / 'benchmarks.md'} and {out / 'recall_qps.png'}")


if __name__ == "__main__":
    main()
