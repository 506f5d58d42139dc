#!/usr/bin/env python3
"""The exhaustive scan through `Database.search` at each instruction-set
level in one run: one database of random unit vectors per dimension, then
child processes that open it and time one-query searches (top 10, exhaustive,
one thread) with VELQ_MAX_ISA set to each level in turn. The level is fixed
when a process starts, hence the children; they alternate so that a change
in the machine's load touches every level alike. Prints the median
processor time per query of each level, its queries per second and the
ratio to AVX2.

    bench/isa_scan.py [--n 100000] [--dims 384,768] [--queries 200] [--rounds 3]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from peer_data import processor_name, random_rows

TOP_K = 10
LEVELS = ("avx2", "avx512")


def child(path, dim, queries_path, count):
    """Runs in a child process: median processor seconds per search."""
    import velq
    db = velq.Database.open(path, dimension=dim)
    queries = np.load(queries_path)[:count]
    for q in queries[:5]:
        db.search(q, TOP_K, _use_ann=False)  # warm the caches
    times = []
    for q in queries:
        begin = time.process_time()
        db.search(q, TOP_K, _use_ann=False)
        times.append(time.process_time() - begin)
    print(json.dumps({"seconds": statistics.median(times)}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dims", default="384,768")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        path, dim, queries_path, count = args.child
        child(path, int(dim), queries_path, int(count))
        return
    import velq
    print(f"processor: {processor_name()}; one thread; n = {args.n:,}; top {TOP_K}; exhaustive")
    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory() as root:
        for dim in (int(d) for d in args.dims.split(",")):
            path = f"{root}/db-{dim}"
            db = velq.Database.open(path, dimension=dim)
            db.insert_batch([str(i) for i in range(args.n)], random_rows(rng, args.n, dim))
            del db
            queries_path = f"{root}/queries-{dim}.npy"
            np.save(queries_path, random_rows(rng, args.queries, dim))
            results = {level: [] for level in LEVELS}
            for _ in range(args.rounds):
                for level in LEVELS:
                    env = dict(os.environ, VELQ_MAX_ISA=level, RAYON_NUM_THREADS="1")
                    out = subprocess.run(
                        [sys.executable, __file__, "--child", path, str(dim), queries_path,
                         str(args.queries)],
                        env=env, check=True, capture_output=True, text=True).stdout
                    results[level].append(json.loads(out.strip().splitlines()[-1])["seconds"])
            base = statistics.median(results["avx2"])
            for level in LEVELS:
                s = statistics.median(results[level])
                print(f"d = {dim:5d}  {level:7s} {s * 1e3:8.3f} ms/query  {1 / s:8.1f} q/s  "
                      f"{base / s:5.2f}x avx2  (rounds: {', '.join(f'{r * 1e3:.3f}' for r in results[level])})")


if __name__ == "__main__":
    main()
