#!/usr/bin/env python3
"""Figures of the Python interface, medians over repeats.

Prints: insert_batch of N x D float32 rows (seconds); search queries/s from one
calling thread (the engine may still use its worker pool inside a search) and
query with 1,000 rows (queries/s), before and after create_index; and the
binding layer's share of a search: the same call on an empty database
(the engine returns at once, so what is left is argument checks, the array
copy, the locks and the result list).

    bench/python_api.py [--n 100000] [--dim 384] [--repeats 3] [--queries 300]
"""
import argparse
import statistics
import tempfile
import time

import numpy as np

import velq
from peer_data import processor_name, random_rows

TOP_K = 10


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def median_seconds(call, repeats):
    return statistics.median(seconds(call) for _ in range(repeats))


def per_search(db, queries, **kwargs):
    """Median seconds of one search call over the queries."""
    return statistics.median(seconds(lambda q=q: db.search(q, TOP_K, **kwargs)) for q in queries)


def search_figures(db, queries, rows, repeats, label):
    qps = 1.0 / per_search(db, queries)
    batch = median_seconds(lambda: db.query(rows, n_results=TOP_K), repeats)
    print(f"search, {label}: {qps:,.0f} queries/s (one calling thread)")
    print(f"query of {len(rows)} rows, {label}: {len(rows) / batch:,.0f} queries/s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--queries", type=int, default=300)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    data = random_rows(rng, args.n, args.dim)
    ids = [f"r{i}" for i in range(args.n)]
    queries = random_rows(rng, args.queries, args.dim)
    rows = random_rows(rng, 1000, args.dim)
    print(f"processor: {processor_name()}")
    print(f"{args.n:,} x {args.dim} float32 rows, top {TOP_K}, medians of {args.repeats} runs "
          f"({args.queries} single searches)")

    with tempfile.TemporaryDirectory() as root:
        times = []
        for r in range(args.repeats):
            db = velq.Database.open(f"{root}/db{r}", dimension=args.dim)
            times.append(seconds(lambda: db.insert_batch(ids, data)))
        print(f"insert_batch: {statistics.median(times):.2f} s")

        search_figures(db, queries, rows, args.repeats, "no index")
        build = seconds(db.create_index)
        print(f"create_index (defaults, once): {build:.1f} s")
        search_figures(db, queries, rows, args.repeats, "with index")

        full = per_search(db, queries)
        empty = velq.Database.open(f"{root}/empty", dimension=args.dim)
        call = per_search(empty, queries)
        print(f"binding overhead: {call * 1e6:.1f} us per call (empty database: checks, array copy, "
              f"locks, empty list) of a {full * 1e6:.1f} us search")


if __name__ == "__main__":
    main()
