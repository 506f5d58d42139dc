#!/usr/bin/env python3
"""Exhaustive search with the default options (dense rotation, 4 bits, rerank
from the codes, no raw vectors) through the Python module, for two builds of
the module in one run: this checkout's installed `velq` and another one
importable from --other (for instance `pip install --no-deps --target DIR` of
an older commit). Each database is built once and searched by both builds,
one query per call, one thread (RAYON_NUM_THREADS=1); figures are medians of
per-call thread CPU time. With --graph an index is built first, so the
searches take the graph road (L2 nodes are then scored from the codes'
terms instead of being reconstructed). Also counts the queries whose top-10 ids (in order)
differ between the builds, and how many of those differ only where the other
build's scores tie within a relative 1e-5.

    bench/rescore_from_codes.py --other DIR [--dims 384,768,1536]
        [--metrics ip,l2] [--n 20000] [--queries 200] [--data clustered] [--graph]
"""
import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from peer_data import K, child_env, make_data, processor_name

TIE = 1e-5


def child(args):
    """Searches one database with whatever `velq` the path gives; prints
    {"ms": median, "ids": [...], "scores": [...]} as JSON."""
    import velq
    queries = np.load(args.queries_file)
    db = velq.Database.open(args.db)
    for q in queries[:20]:  # warm the caches and the lazily built state
        db.search(q, K)
    times, ids, scores = [], [], []
    for q in queries:
        begin = time.thread_time()
        hits = db.search(q, K)
        times.append(time.thread_time() - begin)
        ids.append([h["id"] for h in hits])
        scores.append([h["score"] for h in hits])
    print(json.dumps({"ms": float(np.median(times)) * 1e3, "ids": ids, "scores": scores}))


def run(db, queries_file, pythonpath):
    env = child_env(pythonpath, 1)
    cmd = [sys.executable, __file__, "--child", "--db", str(db), "--queries-file", str(queries_file)]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def differences(ours, other):
    """(queries whose ordered top-K ids differ, of those how many differ
    only among scores the other build ties within TIE)."""
    differ = ties = 0
    for a, b, sb in zip(ours["ids"], other["ids"], other["scores"]):
        if a == b:
            continue
        differ += 1
        bad = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
        first, last = bad[0], bad[-1]
        # Every swapped position must lie in a run of the other build's
        # scores that tie within TIE, and the sets may differ only at the cut.
        span = sb[first:last + 1] + ([sb[-1]] if set(a) != set(b) else [])
        top = max(abs(s) for s in span) or 1.0
        if max(span) - min(span) <= TIE * top:
            ties += 1
    return differ, ties


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--db")
    parser.add_argument("--queries-file")
    parser.add_argument("--other", type=Path, help="directory holding the other build's velq")
    parser.add_argument("--dims", default="384,768,1536")
    parser.add_argument("--metrics", default="ip,l2")
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--data", default="clustered", choices=["clustered", "random"])
    parser.add_argument("--graph", action="store_true", help="build an index: the graph road")
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    import velq
    print(f"processor: {processor_name()}; n = {args.n:,}, {args.data} data, top {K}, dense rotation, "
          f"4 bits, rerank from codes, {'graph' if args.graph else 'exhaustive'} road; one thread, one query per call, medians of {args.queries}")
    print(f"{'d':>5} {'metric':>6} {'this ms':>8} {'other ms':>9} {'speed-up':>9} "
          f"{'order differs':>14} {'within ties':>12}")
    with tempfile.TemporaryDirectory() as root:
        for dim in map(int, args.dims.split(",")):
            base, queries = make_data(args.data, args.n, args.queries, dim, clusters=200, spread=0.6)
            qfile = Path(root) / f"q{dim}.npy"
            np.save(qfile, queries)
            for metric in args.metrics.split(","):
                path = Path(root) / f"{metric}-{dim}"
                db = velq.Database.open(str(path), dimension=dim, metric=metric)
                db.insert_batch([str(i) for i in range(len(base))], base)
                if args.graph:
                    db.create_index()
                db.close()
                # The directory stays locked to this process until the handle goes.
                del db
                ours = run(path, qfile, None)
                other = run(path, qfile, args.other) if args.other else None
                if other is None:
                    print(f"{dim:>5} {metric:>6} {ours['ms']:>8.3f}")
                    continue
                differ, ties = differences(ours, other)
                print(f"{dim:>5} {metric:>6} {ours['ms']:>8.3f} {other['ms']:>9.3f} "
                      f"{other['ms'] / ours['ms']:>8.2f}x {differ:>10}/{len(queries)} {ties:>12}",
                      flush=True)


if __name__ == "__main__":
    main()
