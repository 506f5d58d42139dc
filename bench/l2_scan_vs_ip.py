#!/usr/bin/env python3
"""The exhaustive scan under l2 beside the same scan under ip, on the same
vectors, for two builds of the module in one run: this checkout's installed
`velq` and another one importable from --other (for instance a wheel of an
older commit unpacked into a folder). An ip and an l2 database are built once
per data set from the cached vectors (bench/dataset_cache.py) and searched by
both builds, one query per call, one thread (RAYON_NUM_THREADS=1), with the
default options and with rerank=False. Each pass is a fresh process timing
--queries searches in process CPU time; the builds alternate pass by pass
and the figures are medians of --reps passes. Prints ms per query, l2's time
over ip's for each build, this build's time over the other's, and whether
the two builds return the same hits (ids and scores to the bit).

    bench/l2_scan_vs_ip.py --other DIR [--cache DIR] [--sets fashion-mnist-784,synthetic-768]
        [--queries 200] [--reps 5]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from peer_data import K, child_env, processor_name

METRICS = ("ip", "l2")
RERANKS = (True, False)


def build(cache, name, folder):
    import velq
    base = np.load(Path(cache) / name / "base.npy").astype(np.float32)
    ids = [str(i) for i in range(len(base))]
    for metric in METRICS:
        db = velq.Database.open(str(folder / metric), dimension=base.shape[1], metric=metric,
                                wal_flush_threshold=len(base) + 1)
        db.insert_batch(ids, base)
        db.close()


def child(args):
    """Prints {"s": CPU seconds of the timed searches, "hits": [...]}."""
    import time
    import velq
    queries = np.load(Path(args.cache) / args.set / "queries.npy").astype(np.float32)[:args.queries]
    db = velq.Database.open(args.db, rerank=args.rerank == "on")
    for q in queries[:5]:  # warm the caches and the lazily built state
        db.search(q, K, include=["id"])
    started = time.process_time()
    for q in queries:
        db.search(q, K, include=["id"])
    seconds = time.process_time() - started
    hits = []
    if args.hits:
        hits = [[(h["id"], h["score"].hex()) for h in db.search(q, K)] for q in queries]
    print(json.dumps({"s": seconds, "hits": hits}))


def run_pass(args, path, name, folder, metric, rerank, hits):
    env = child_env(path, 1)
    command = [sys.executable, __file__, "--child", "--cache", args.cache, "--set", name,
               "--db", str(folder / metric), "--rerank", "on" if rerank else "off",
               "--queries", str(args.queries)] + (["--hits"] if hits else [])
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--other", help="folder holding the build to compare with")
    parser.add_argument("--cache", default=os.environ.get("VELQ_BENCH_CACHE", "bench-cache"))
    parser.add_argument("--sets", default="fashion-mnist-784,synthetic-768")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--set")
    parser.add_argument("--db")
    parser.add_argument("--rerank")
    parser.add_argument("--hits", action="store_true")
    args = parser.parse_args()
    if args.child:
        return child(args)
    if args.other is None:
        parser.error("--other is required")
    builds = {"this": None, "other": args.other}
    print(f"processor: {processor_name()}; load before: {os.getloadavg()}")
    with tempfile.TemporaryDirectory() as work:
        for name in args.sets.split(","):
            folder = Path(work) / name
            build(args.cache, name, folder)
            seconds, hits = {}, {}
            for rep in range(args.reps):
                for rerank in RERANKS:
                    for metric in METRICS:
                        for label, path in builds.items():
                            got = run_pass(args, path, name, folder, metric, rerank, rep == 0)
                            key = (rerank, metric, label)
                            seconds.setdefault(key, []).append(got["s"])
                            if rep == 0:
                                hits[key] = got["hits"]
            ms = {key: float(np.median(v)) / args.queries * 1e3 for key, v in seconds.items()}
            for rerank in RERANKS:
                mode = "default" if rerank else "rerank=False"
                row = f"{name} {mode}:"
                for label in builds:
                    ip, l2 = ms[rerank, "ip", label], ms[rerank, "l2", label]
                    row += f" {label} ip {ip:.3f} ms l2 {l2:.3f} ms (l2/ip {l2 / ip:.2f});"
                for metric in METRICS:
                    ratio = ms[rerank, metric, "this"] / ms[rerank, metric, "other"]
                    same = hits[rerank, metric, "this"] == hits[rerank, metric, "other"]
                    row += f" {metric} this/other {ratio:.2f} hits {'same' if same else 'DIFFER'};"
                print(row, flush=True)
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
