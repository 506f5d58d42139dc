#!/usr/bin/env python3
"""Proximity graph against hnswlib on the same unit vectors.

Draws the vectors (uniform random directions, or a seeded Gaussian mixture
whose clusters resemble real embeddings) or loads them from two .npy files
(float32 rows, e.g. real text embeddings), writes them with the queries and
the exact top-10 answers to a temporary folder, runs
build/release/bench_graph on them (full build with one thread and with the
whole pool, incremental build, search) and hnswlib (M = 16,
ef_construction = 200, inner product) in this process, and prints one table.
Search rates are medians of three runs, one query at a time on one thread (over
the wall clock, and over the thread's processor time, which other work on a
loaded machine disturbs less) and all queries spread over every thread.
Reachability counts the nodes a level-0 walk from the entry point can reach
and the nodes that no level-0 list names.
A second table reads both recall curves at fixed recall levels: the query
rate where each side first reaches it (linear between neighbouring beam
widths; ">" marks a side whose narrowest beam already exceeds it).

    bench/graph_vs_hnswlib.py [--data random|clustered] [--n 100000] [--add 10000]
                              [--dim 128] [--queries 1000] [--clusters 1000] [--spread 0.5]
                              [--efs 10,32,128,...] [--searches-only]
                              [--binary [LABEL=]PATH ...]
    bench/graph_vs_hnswlib.py --data npy --base BASE.npy --queries-file QUERIES.npy [--add 10000]
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

from peer_data import K, exact_top, make_data, processor_name, recall

EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256]
RECALL_LEVELS = (0.90, 0.95, 0.99)


def run_ours(binary, folder, args, threads, build_only):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [str(binary), "--dim", str(args.dim), "--base", str(folder / "base.f32"),
           "--queries", str(folder / "queries.f32"), "--truth", str(folder / "truth.u32"),
           "--n-build", str(args.n), "--efs", ",".join(map(str, EFS))]
    if build_only:
        cmd.append("--build-only")
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def median_rate(index, queries, threads):
    """Median queries/s of three runs over the wall clock and over this
    thread's processor time (meaningful with one thread, which hnswlib runs
    on the calling thread), and the labels found."""
    index.set_num_threads(threads)
    rates, cpu_rates = [], []
    for _ in range(3):
        start, cpu_start = time.perf_counter(), time.thread_time()
        labels, _ = index.knn_query(queries, k=K)
        rates.append(len(queries) / (time.perf_counter() - start))
        cpu_rates.append(len(queries) / (time.thread_time() - cpu_start))
    return sorted(rates)[1], sorted(cpu_rates)[1], labels


def run_hnswlib(base, n, queries, truth, threads, search):
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
    for ef in EFS if search else ():
        index.set_ef(ef)
        qps, qps_cpu, labels = median_rate(index, queries, 1)
        qps_pool, _, _ = median_rate(index, queries, threads)
        rows[ef] = (qps, qps_pool, recall(labels, truth), qps_cpu)
    return rows


def ours_op(rows, op, key=None, value=None):
    return next(r for r in rows if r["op"] == op and (key is None or r[key] == value))


def print_table(args, threads, runs, peer_1, peer):
    """One column per velq binary, then hnswlib, then each binary's ratio to
    hnswlib."""
    shape = {"clustered": f"{args.clusters} clusters, spread {args.spread}",
             "random": "uniform directions", "npy": "rows from .npy files"}[args.data]
    print(f"{args.data} data ({shape}): n = {args.n:,} + {args.add:,} added, d = {args.dim}, "
          f"{args.queries} queries, k = {K}, {threads} threads, {processor_name()}")
    print("velq max_degree 32, ef_construction 200, 5 refinements, alpha 1.2; "
          "hnswlib M 16, ef_construction 200")
    for label, (_, ours) in runs.items():
        for row in ours:
            if row["op"] == "reach":
                print(f"{label}: level 0 after {row['after']}: {row['reachable']:,} of "
                      f"{row['n']:,} reachable ({row['reachable'] / row['n']:.2%}), "
                      f"{row['without_incoming']:,} without an incoming edge")
    labels = list(runs)
    print(f"{'operation':<34}" + "".join(f"{l[:12]:>13}" for l in labels) + f"{'hnswlib':>13}"
          + "".join(f"{'ratio ' + l[:6]:>13}" for l in labels))

    def line(name, pick, peer_value, fmt):
        values = [pick(ours_1, ours) for ours_1, ours in runs.values()]
        ratios = [v / peer_value if peer_value and v is not None else float("nan")
                  for v in values]
        print(f"{name:<34}" + "".join(f"{fmt.format(v):>13}" for v in values)
              + f"{fmt.format(peer_value):>13}" + "".join(f"{r:>13.2f}" for r in ratios))

    if peer_1:
        line("full build, 1 thread (s)", lambda o1, o: ours_op(o1, "build")["seconds"],
             peer_1["build"], "{:.2f}")
    line(f"full build, {threads} threads (s)", lambda o1, o: ours_op(o, "build")["seconds"],
         peer["build"], "{:.2f}")
    if args.add:
        line(f"add {args.add:,}, {threads} threads (s)",
             lambda o1, o: ours_op(o, "incremental")["seconds"], peer["incremental"], "{:.2f}")
    for ef in EFS:
        qps, qps_pool, peer_recall, qps_cpu = peer[ef]
        line(f"ef={ef}: recall@10", lambda o1, o: ours_op(o, "search", "ef", ef)["recall"],
             peer_recall, "{:.3f}")
        line(f"ef={ef}: queries/s, 1 thread", lambda o1, o: ours_op(o, "search", "ef", ef)["qps"],
             qps, "{:.0f}")
        line(f"ef={ef}: q/s, 1 thread, cpu time",
             lambda o1, o: ours_op(o, "search", "ef", ef)["qps_cpu"], qps_cpu, "{:.0f}")
        line(f"ef={ef}: queries/s, {threads} threads",
             lambda o1, o: ours_op(o, "search", "ef", ef)["qps_pool"], qps_pool, "{:.0f}")
        print(f"{f'ef={ef}: velq scores per query':<34}" + "".join(
            f"{ours_op(o, 'search', 'ef', ef)['scores_per_query']:>13.0f}"
            for _, o in runs.values()))
    print_equal_recall(threads, runs, peer)


def at_recall(points, level):
    """(rate, scores) where a curve of (recall, rate, scores) points, ordered
    by beam width, first reaches `level`: linear between the two points
    around it; the first point itself (marked) when it already exceeds it;
    None when no point reaches it."""
    for i, (r, rate, scores) in enumerate(points):
        if r < level:
            continue
        if i == 0:
            return rate, scores, r > level
        r0, rate0, scores0 = points[i - 1]
        t = (level - r0) / (r - r0)
        lerp = lambda a, b: None if a is None else a + t * (b - a)
        return lerp(rate0, rate), lerp(scores0, scores), False
    return None


def print_equal_recall(threads, runs, peer):
    """One thread over processor time (steadier on a loaded machine), and
    every thread over the wall clock."""
    print(f"at equal recall@{K}: queries/s (velq scores per query), ratio to hnswlib")
    # (column of the peer's row, key of ours)
    modes = ((3, "qps_cpu", "1 thread cpu"), (1, "qps_pool", f"{threads} threads"))
    for level in RECALL_LEVELS:
        for column, key, name in modes:
            theirs = at_recall([(peer[ef][2], peer[ef][column], None) for ef in EFS], level)
            cells = []
            for label, (_, ours) in runs.items():
                rows = [ours_op(ours, "search", "ef", ef) for ef in EFS]
                mine = at_recall([(r["recall"], r[key], r["scores_per_query"]) for r in rows],
                                 level)
                if mine is None:
                    cells.append(f"{label}: not reached")
                    continue
                ratio = f"{mine[0] / theirs[0]:.2f}x" if theirs else "-"
                mark = ">" if mine[2] else ""
                cells.append(f"{label}: {mark}{mine[0]:.0f} ({mine[1]:.0f}) {ratio}")
            peer_cell = ("not reached" if theirs is None
                         else f"{'>' if theirs[2] else ''}{theirs[0]:.0f}")
            print(f"  recall {level:.2f}, {name:<12} " + "; ".join(cells)
                  + f"; hnswlib {peer_cell}")


def load_npy(args):
    """Base and query rows from .npy files; the last --add base rows are
    the incremental part."""
    base = np.ascontiguousarray(np.load(args.base), dtype=np.float32)
    queries = np.ascontiguousarray(np.load(args.queries_file)[:args.queries], dtype=np.float32)
    if base.ndim != 2 or queries.ndim != 2 or base.shape[1] != queries.shape[1]:
        sys.exit("--base and --queries-file need 2-d arrays of one width")
    args.dim = base.shape[1]
    args.add = min(args.add, len(base) // 2)
    args.n = len(base) - args.add
    args.queries = len(queries)
    return base, queries


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=("random", "clustered", "npy"), default="random")
    parser.add_argument("--base", help="--data npy: base rows (.npy, float32 N x d)")
    parser.add_argument("--queries-file", help="--data npy: query rows (.npy, float32)")
    parser.add_argument("--n", type=int, default=100_000, help="nodes of the full build")
    parser.add_argument("--add", type=int, default=10_000, help="nodes added incrementally")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--clusters", type=int, default=1000, help="mixture components")
    parser.add_argument("--spread", type=float, default=0.5,
                        help="expected norm of a point's offset from its centre (unit centres)")
    parser.add_argument("--efs", help="beam widths, comma-separated (default "
                        + ",".join(map(str, EFS)) + "; random data wants wider ones)")
    parser.add_argument("--searches-only", action="store_true",
                        help="skip the one-thread builds (quicker, for comparing searches)")
    parser.add_argument("--binary", action="append",
                        help="bench_graph to run, LABEL=PATH or PATH; repeat to compare builds "
                             "(default build/release/bench_graph)")
    args = parser.parse_args()
    if args.efs:
        EFS[:] = sorted(int(ef) for ef in args.efs.split(","))

    binaries = {}
    for given in args.binary or ["build/release/bench_graph"]:
        label, _, path = given.rpartition("=")
        binaries[label or "velq"] = Path(path)
    for binary in binaries.values():
        if not binary.exists():
            sys.exit(f"{binary} not found: build the release tree first (scripts/test)")
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    if args.data == "npy":
        if not args.base or not args.queries_file:
            sys.exit("--data npy needs --base and --queries-file")
        base, queries = load_npy(args)
    else:
        base, queries = make_data(args.data, args.n + args.add, args.queries, args.dim,
                                  args.clusters, args.spread)
    truth = exact_top(base, queries)

    runs = {}
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        base.tofile(folder / "base.f32")
        queries.tofile(folder / "queries.f32")
        truth.tofile(folder / "truth.u32")
        for label, binary in binaries.items():
            runs[label] = ([] if args.searches_only else
                           run_ours(binary, folder, args, 1, build_only=True),
                           run_ours(binary, folder, args, threads, build_only=False))
    peer_1 = {} if args.searches_only else run_hnswlib(base, args.n, queries, truth, 1,
                                                       search=False)
    peer = run_hnswlib(base, args.n, queries, truth, threads, search=True)
    print_table(args, threads, runs, peer_1, peer)


if __name__ == "__main__":
    main()
