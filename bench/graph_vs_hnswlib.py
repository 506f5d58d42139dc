#!/usr/bin/env python3
"""Proximity graph against hnswlib on the same random unit vectors.

Writes the vectors, queries and exact top-10 answers to a temporary folder,
runs build/release/bench_graph on them (full build with one thread and with
the whole pool, incremental build, search) and hnswlib (M = 16,
ef_construction = 200, inner product) in this process, and prints one table.
Searches run one query at a time on one thread for both.

    bench/graph_vs_hnswlib.py [--n 100000] [--add 10000] [--dim 128] [--queries 1000]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import hnswlib
import numpy as np

EFS = (32, 64, 128, 256)
K = 10


def unit_rows(rng, n, dim):
    x = rng.standard_normal((n, dim), dtype=np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def exact_top(base, queries):
    out = np.empty((len(queries), K), dtype=np.uint32)
    for start in range(0, len(queries), 100):
        scores = queries[start:start + 100] @ base.T
        top = np.argpartition(-scores, K, axis=1)[:, :K]
        out[start:start + 100] = top
    return out


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)])


def run_ours(binary, folder, args, threads, build_only):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [str(binary), "--dim", str(args.dim), "--base", str(folder / "base.f32"),
           "--queries", str(folder / "queries.f32"), "--truth", str(folder / "truth.u32"),
           "--n-build", str(args.n), "--efs", ",".join(map(str, EFS))]
    if build_only:
        cmd.append("--build-only")
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def run_hnswlib(base, n, queries, truth, threads):
    rows = {}
    index = hnswlib.Index(space="ip", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=16, ef_construction=200)
    index.set_num_threads(threads)
    start = time.perf_counter()
    index.add_items(base[:n], np.arange(n))
    rows["build"] = time.perf_counter() - start
    if len(base) > n:
        start = time.perf_counter()
        index.add_items(base[n:], np.arange(n, len(base)))
        rows["incremental"] = time.perf_counter() - start
    index.set_num_threads(1)
    for ef in EFS:
        index.set_ef(ef)
        rates = []
        for _ in range(3):
            start = time.perf_counter()
            labels, _ = index.knn_query(queries, k=K)
            rates.append(len(queries) / (time.perf_counter() - start))
        rows[ef] = (sorted(rates)[1], recall(labels, truth))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, help="nodes of the full build")
    parser.add_argument("--add", type=int, default=10_000, help="nodes added incrementally")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--binary", default="build/release/bench_graph")
    args = parser.parse_args()

    binary = Path(args.binary)
    if not binary.exists():
        sys.exit(f"{binary} not found: build the release tree first (scripts/test)")
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    rng = np.random.default_rng(42)
    base = unit_rows(rng, args.n + args.add, args.dim)
    queries = unit_rows(rng, args.queries, args.dim)
    truth = exact_top(base, queries)

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        base.tofile(folder / "base.f32")
        queries.tofile(folder / "queries.f32")
        truth.tofile(folder / "truth.u32")
        ours_1 = run_ours(binary, folder, args, 1, build_only=True)
        ours = run_ours(binary, folder, args, threads, build_only=False)
    peer_1 = run_hnswlib(base, args.n, queries, truth, 1)
    peer = run_hnswlib(base, args.n, queries, truth, threads)

    def ours_op(rows, op, ef=None):
        return next(r for r in rows if r["op"] == op and (ef is None or r["ef"] == ef))

    print(f"n = {args.n:,} + {args.add:,} added, d = {args.dim}, {args.queries} queries, "
          f"k = {K}, {threads} threads; velq max_degree 32, ef_construction 200, "
          f"5 refinements; hnswlib M 16, ef_construction 200")
    print(f"{'operation':<34}{'velq':>12}{'hnswlib':>12}{'ratio':>9}")

    def line(name, ours_value, peer_value, fmt):
        ratio = ours_value / peer_value if peer_value else float("nan")
        print(f"{name:<34}{fmt.format(ours_value):>12}{fmt.format(peer_value):>12}{ratio:>9.2f}")

    line("full build, 1 thread (s)", ours_op(ours_1, "build")["seconds"], peer_1["build"], "{:.2f}")
    line(f"full build, {threads} threads (s)", ours_op(ours, "build")["seconds"], peer["build"],
         "{:.2f}")
    if args.add:
        line(f"add {args.add:,}, {threads} threads (s)", ours_op(ours, "incremental")["seconds"],
             peer["incremental"], "{:.2f}")
    for ef in EFS:
        row = ours_op(ours, "search", ef)
        line(f"search ef={ef}: queries/s", row["qps"], peer[ef][0], "{:.0f}")
        line(f"search ef={ef}: recall@10", row["recall"], peer[ef][1], "{:.3f}")


if __name__ == "__main__":
    main()
