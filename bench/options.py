#!/usr/bin/env python3
"""Recall and speed of velq's main options on one data set, for choosing
between them: bits 4 or 8, the dense or SRHT rotation, raw vectors kept for
exact reranking (f16, f32) or not, and a scan against a built index.

Each configuration is a fresh cosine database of --n seeded clustered unit
rows (a Gaussian mixture, --dim wide); --queries queries from the same law,
one per call on one thread. Prints recall@10 against the exact top 10, queries
per second over the process's CPU time (median of --reps passes after a
warm-up pass), the load
and index build wall times, and disk bytes per vector.

    bench/options.py [--n 100000] [--dim 384] [--queries 300] [--reps 3]
"""
import argparse
import os
import shutil
import statistics
import tempfile
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")  # read once, at the first pool use

import numpy as np

import velq

from measures import recall_at_10
from peer_data import exact_top, make_data, processor_name

# name: (Database.open options, build the index and search through it)
CONFIGS = {
    "bits 4 (default)": ({}, False),
    "bits 8": ({"bits": 8}, False),
    "bits 4, srht": ({"quantizer_type": "srht"}, False),
    "bits 4, rerank f16": ({"rerank_precision": "f16"}, False),
    "bits 4, rerank f32": ({"rerank_precision": "f32"}, False),
    "bits 4, index": ({}, True),
    "bits 4, rerank f16, index": ({"rerank_precision": "f16"}, True),
}


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)


def measure(base, queries, truth, options, indexed, reps):
    folder = tempfile.mkdtemp(prefix="velq-options-")
    try:
        db = velq.Database.open(folder, dimension=base.shape[1], metric="cosine", **options)
        started = time.perf_counter()
        db.insert_batch([str(i) for i in range(len(base))], base)
        db.flush()
        load = time.perf_counter() - started
        started = time.perf_counter()
        if indexed:
            db.create_index()
        build = time.perf_counter() - started
        db.close()
        disk = folder_bytes(folder) / len(base)

        found, rates = [], []
        for _ in range(reps + 1):  # the first pass warms the caches and is not timed
            cpu = time.process_time()
            found = [[int(h["id"]) for h in db.search(q, 10, _use_ann=indexed, include=["id"])]
                     for q in queries]
            rates.append(len(queries) / (time.process_time() - cpu))
        return recall_at_10(found, truth), statistics.median(rates[1:]), load, build, disk
    finally:
        shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()

    base, queries = make_data("clustered", args.n, args.queries, args.dim, clusters=1000, spread=0.5)
    truth = exact_top(base, queries)
    print(f"processor: {processor_name()}, RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']}, "
          f"load {os.getloadavg()[0]:.1f}; n {args.n:,}, d {args.dim}, cosine, "
          f"{args.queries} queries, top 10")
    print(f"{'configuration':<28} {'recall@10':>9} {'q/s 1 thr':>10} {'load s':>7} {'index s':>8} "
          f"{'disk B/vec':>10}")
    for name, (options, indexed) in CONFIGS.items():
        recall, rate, load, build, disk = measure(base, queries, truth, options, indexed, args.reps)
        print(f"{name:<28} {recall:>9.3f} {rate:>10,.0f} {load:>7.1f} {build:>8.1f} {disk:>10,.0f}")


if __name__ == "__main__":
    main()
