#!/usr/bin/env python3
"""What a query costs before it reads a code at d = 1536: the dense rotation
beside the SRHT, on one thread and on the whole pool, through the module.

  * search on a database holding one record (nearly all query preparation);
  * search on N x 1536 records (random unit vectors, default options);
  * query() of Q rows against Q single searches (rows per second);
  * optionally faiss SQ4 and RaBitQ over the same rows (--peers).

The pool's size is fixed when a process starts, so each thread count runs in
a child process (RAYON_NUM_THREADS); the databases are built once, by the
first child on the whole pool, and reopened by the others. Wall-clock times.

    bench/query_prep_1536.py [--n 100000] [--queries 1000] [--peers]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

DIM = 1536
TOP_K = 10
QUANTIZERS = ("dense", "srht")


def unit_rows(seed, n):
    rng = np.random.default_rng(seed)
    rows = rng.standard_normal((n, DIM), dtype=np.float32)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


def median_wall_us(call, queries, reps):
    """Median wall time of one call in microseconds, timed in groups of 10."""
    samples = []
    for start in range(0, reps, 10):
        group = [queries[(start + i) % len(queries)] for i in range(10)]
        begin = time.perf_counter()
        for q in group:
            call(q)
        samples.append((time.perf_counter() - begin) / 10)
    return statistics.median(samples) * 1e6


def child(root, n, query_count):
    import velq
    queries = unit_rows(2, query_count)
    figures = {}
    for quantizer in QUANTIZERS:
        one = velq.Database.open(f"{root}/one-{quantizer}", dimension=DIM, quantizer_type=quantizer)
        if one.count() == 0:
            one.insert("0", queries[0])
        figures[f"one_record_{quantizer}_us"] = median_wall_us(lambda q: one.search(q, TOP_K), queries, 500)
        one.close()

        big = velq.Database.open(f"{root}/big-{quantizer}", dimension=DIM, quantizer_type=quantizer)
        if big.count() == 0:
            rows = unit_rows(1, n)
            begin = time.perf_counter()
            for start in range(0, n, 10_000):
                big.insert_batch([str(i) for i in range(start, min(n, start + 10_000))],
                                 rows[start:start + 10_000])
            big.flush()
            figures[f"insert_{quantizer}_rows_per_s"] = n / (time.perf_counter() - begin)
        figures[f"search_{quantizer}_us"] = median_wall_us(lambda q: big.search(q, TOP_K), queries, 200)
        begin = time.perf_counter()
        for q in queries:
            big.search(q, TOP_K)
        figures[f"singles_{quantizer}_rows_per_s"] = len(queries) / (time.perf_counter() - begin)
        begin = time.perf_counter()
        big.query(queries, n_results=TOP_K)
        figures[f"query_{quantizer}_rows_per_s"] = len(queries) / (time.perf_counter() - begin)
        big.close()
    print(json.dumps(figures))


def peers(n, query_count, threads):
    import faiss
    faiss.omp_set_num_threads(threads)
    rows, queries = unit_rows(1, n), unit_rows(2, query_count)
    out = {}
    indexes = {"faiss_sq4": faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_4bit,
                                                       faiss.METRIC_INNER_PRODUCT)}
    if hasattr(faiss, "IndexRaBitQ"):
        # Releases whose RaBitQ index has no bit count store one bit per coordinate.
        rabitq = faiss.IndexRaBitQ(DIM, faiss.METRIC_INNER_PRODUCT)
        if hasattr(rabitq, "nb_bits"):
            rabitq = faiss.IndexRaBitQ(DIM, faiss.METRIC_INNER_PRODUCT, 4)
        indexes[f"faiss_rabitq_{getattr(rabitq, 'nb_bits', 1)}bit"] = rabitq
    for name, index in indexes.items():
        index.train(rows[:20_000])
        index.add(rows)
        out[f"search_{name}_us"] = median_wall_us(lambda q: index.search(q.reshape(1, -1), TOP_K),
                                                  queries, 100)
        begin = time.perf_counter()
        index.search(queries, TOP_K)
        out[f"query_{name}_rows_per_s"] = len(queries) / (time.perf_counter() - begin)
    return out


def run_child(root, n, query_count, threads):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    else:
        env.pop("RAYON_NUM_THREADS", None)
    done = subprocess.run([sys.executable, __file__, "--child", root, "--n", str(n),
                           "--queries", str(query_count)], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--peers", action="store_true")
    parser.add_argument("--child")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.n, args.queries)
        return
    sys.path.insert(0, str(Path(__file__).parent))
    from peer_data import processor_name
    print(f"processor: {processor_name()}, {os.cpu_count()} hardware threads")
    print(f"{args.n} x {DIM} random unit vectors, {args.queries} queries, top_k {TOP_K}")
    with tempfile.TemporaryDirectory(prefix="velq-q1536-") as root:
        all_threads = run_child(root, args.n, args.queries, None)
        one_thread = run_child(root, args.n, args.queries, 1)
    for q in QUANTIZERS:
        if f"insert_{q}_rows_per_s" in all_threads:
            print(f"insert_batch {q}, all threads: {all_threads[f'insert_{q}_rows_per_s']:,.0f} rows/s")
    print(f"{'figure':<44}{'1 thread':>12}{'all threads':>14}")
    rows = [("search, 1-record db, {q} (us)", "one_record_{}_us"),
            ("search, {n}x1536, {q} (us)", "search_{}_us"),
            ("{m} single searches, {q} (rows/s)", "singles_{}_rows_per_s"),
            ("query() of {m} rows, {q} (rows/s)", "query_{}_rows_per_s")]
    for label, key in rows:
        for q in QUANTIZERS:
            text = label.format(n=args.n, m=args.queries, q=q)
            print(f"{text:<44}{one_thread[key.format(q)]:>12,.0f}{all_threads[key.format(q)]:>14,.0f}")
    for threads, figures in (("1 thread", one_thread), ("all threads", all_threads)):
        search_ratio = figures["search_dense_us"] / figures["search_srht_us"]
        query_ratio = figures["query_dense_rows_per_s"] / figures["singles_dense_rows_per_s"]
        print(f"{threads}: dense/srht search time {search_ratio:.2f}x; "
              f"dense query() rows/s over single searches {query_ratio:.2f}x")
    if args.peers:
        for threads in (1, os.cpu_count()):
            for key, value in peers(args.n, args.queries, threads).items():
                print(f"{key} ({threads} threads): {value:,.0f}")


if __name__ == "__main__":
    main()
