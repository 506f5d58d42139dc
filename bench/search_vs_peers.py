#!/usr/bin/env python3
"""Engine search and index building against faiss and hnswlib on the same vectors.

Draws unit vectors (a seeded Gaussian mixture by default, see peer_data.py)
and queries from the same law, computes the exact top 10 by inner product,
writes everything to a work folder and, in this one run:

- exhaustive: build/release/bench_engine_search on databases with the dense
  and the srht quantizer (b = 4), reranking from dequantized codes and from
  f16 raw vectors, with a pool of one thread and of every thread; faiss
  IndexFlatIP and IndexScalarQuantizer (4-bit) on the same vectors;
- graph: the engine's create_index (max_degree 32, ef_construction 200) and
  searches on its own code scores (no reranking) at several search list
  sizes; hnswlib (M = 16, ef_construction = 200) built and searched alike,
  and each side's queries/s at recall@10 0.95 interpolated.

Rates are medians of three runs. "1 thread" is one query per call on a pool
of one thread; "per call" is one query per call with every thread in the pool
(only scans above 20,000 candidates spread); "rows" spreads the queries over
the pool (the engine's query rows, faiss's and hnswlib's batch search).

    bench/search_vs_peers.py [--part exhaustive|graph|both] [--n 100000] [--dim 384]
                             [--queries 1000] [--data clustered|random]
                             [--clusters 1000] [--spread 0.5] [--binary PATH]
                             [--work DIR]

Needs faiss-cpu, hnswlib and numpy (bench/requirements.txt).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import faiss
import hnswlib
import numpy as np

from measures import rate_at_recall
from peer_data import K, exact_top, make_data, processor_name, recall

EFS = (16, 24, 32, 48, 64, 96, 128, 192, 256)
TARGET_RECALL = 0.95
REPS = 3


def median_rate(count, run):
    rates = []
    for _ in range(REPS):
        start = time.perf_counter()
        result = run()
        rates.append(count / (time.perf_counter() - start))
    return sorted(rates)[len(rates) // 2], result


def run_ours(args, folder, threads, extra):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [str(args.binary), "--dim", str(args.dim), "--base", str(folder / "base.f32"),
           "--queries", str(folder / "queries.f32"), "--truth", str(folder / "truth.u32"),
           "--n", str(args.n), "--reps", str(REPS)] + extra
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def pick(rows, op):
    return [r for r in rows if r["op"] == op]


def faiss_rates(index, base, queries, truth, threads):
    """(recall, 1 thread per call, every thread batched) for a trained index."""
    index.add(base)
    faiss.omp_set_num_threads(1)
    one, labels = median_rate(len(queries), lambda: [index.search(q[None, :], K)[1][0]
                                                     for q in queries])
    faiss.omp_set_num_threads(threads)
    rows, _ = median_rate(len(queries), lambda: index.search(queries, K))
    return recall(labels, truth), one, rows


def exhaustive(args, folder, base, queries, truth, threads):
    table = {}
    for quantizer in ("dense", "srht"):
        for rerank in ("codes", "f16"):
            extra = ["--db", str(folder / f"db-{quantizer}-{rerank}"),
                     "--quantizer", quantizer, "--rerank", rerank]
            one = pick(run_ours(args, folder, 1, extra), "exhaustive")[0]
            rows = run_ours(args, folder, threads, extra)
            pooled = pick(rows, "exhaustive")[0]
            table[f"velq {quantizer}, rerank {rerank}"] = (
                one["recall"], one["qps"], pooled["qps"], pooled["qps_rows"])
            slots = pick(rows, "active_slots")[0]
            print(f"listing the {slots['n']:,} active slots: {slots['ms']:.2f} ms", flush=True)
    flat = faiss.IndexFlatIP(args.dim)
    r, one, batched = faiss_rates(flat, base, queries, truth, threads)
    table["faiss IndexFlatIP"] = (r, one, None, batched)
    sq = faiss.IndexScalarQuantizer(args.dim, faiss.ScalarQuantizer.QT_4bit,
                                    faiss.METRIC_INNER_PRODUCT)
    sq.train(base)
    r, one, batched = faiss_rates(sq, base, queries, truth, threads)
    table["faiss SQ 4-bit"] = (r, one, None, batched)

    peer = table["faiss SQ 4-bit"]
    print(f"\nexhaustive search, n = {args.n:,}, d = {args.dim}, top 10, {len(queries)} queries, "
          f"{threads} threads")
    print(f"{'':<28}{'recall@10':>10}{'q/s 1 thr':>11}{'per call':>11}{'rows':>11}"
          f"{'x SQ 1 thr':>12}{'x SQ rows':>11}")
    for name, (r, one, call, rows) in table.items():
        call_text = f"{call:>11.0f}" if call is not None else f"{'-':>11}"
        print(f"{name:<28}{r:>10.3f}{one:>11.0f}{call_text}{rows:>11.0f}"
              f"{one / peer[1]:>12.2f}{rows / peer[3]:>11.2f}")


def graph(args, folder, base, queries, truth, threads):
    rows = run_ours(args, folder, threads, ["--db", str(folder / "db-graph"), "--graph",
                                            "--rerank", "none", "--efs", ",".join(map(str, EFS))])
    build = pick(rows, "build")[0]["seconds"]
    ours = {r["ef"]: r for r in pick(rows, "search")}

    index = hnswlib.Index(space="ip", dim=args.dim)
    index.init_index(max_elements=len(base), M=16, ef_construction=200)
    index.set_num_threads(threads)
    start = time.perf_counter()
    index.add_items(base, np.arange(len(base)))
    peer_build = time.perf_counter() - start
    peer = {}
    for ef in EFS:
        index.set_ef(ef)
        index.set_num_threads(1)
        one, (labels, _) = median_rate(len(queries), lambda: index.knn_query(queries, k=K))
        index.set_num_threads(threads)
        pooled, _ = median_rate(len(queries), lambda: index.knn_query(queries, k=K))
        peer[ef] = (recall(labels, truth), one, pooled)

    print(f"\ngraph, n = {args.n:,}, d = {args.dim}, {len(queries)} queries, {threads} threads; "
          "velq max_degree 32, ef_construction 200, codes only; hnswlib M 16, ef_construction 200")
    print(f"create_index {build:.2f} s, hnswlib build {peer_build:.2f} s, "
          f"ratio (hnswlib / velq) {peer_build / build:.2f}")
    print(f"{'ef':>5}{'velq recall':>12}{'own scores':>11}{'q/s 1 thr':>11}{'rows':>10}"
          f"{'hnsw recall':>12}{'q/s 1 thr':>11}{'rows':>10}{'x 1 thr':>9}{'x rows':>8}")
    for ef in EFS:
        o, (pr, p1, pp) = ours[ef], peer[ef]
        print(f"{ef:>5}{o['recall']:>12.3f}{o['recall_own']:>11.3f}{o['qps']:>11.0f}"
              f"{o['qps_rows']:>10.0f}{pr:>12.3f}{p1:>11.0f}{pp:>10.0f}"
              f"{o['qps'] / p1:>9.2f}{o['qps_rows'] / pp:>8.2f}")
    for label, ours_recall in (("own scores", "recall_own"), ("exact top 10", "recall")):
        mine = rate_at_recall([(ours[ef][ours_recall], ours[ef]["qps"]) for ef in EFS],
                              TARGET_RECALL)
        theirs = rate_at_recall([(peer[ef][0], peer[ef][1]) for ef in EFS], TARGET_RECALL)
        mine_text = f"{mine:.0f}" if mine else "not reached"
        ratio = f"{mine / theirs:.2f}" if mine and theirs else "-"
        print(f"q/s at recall@10 {TARGET_RECALL} (velq against its {label}), 1 thread: "
              f"velq {mine_text}, hnswlib {theirs or 0:.0f}, ratio {ratio}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=("exhaustive", "graph", "both"), default="both")
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--data", choices=("random", "clustered"), default="clustered")
    parser.add_argument("--clusters", type=int, default=1000, help="mixture components")
    parser.add_argument("--spread", type=float, default=0.5,
                        help="expected norm of a point's offset from its centre (unit centres)")
    parser.add_argument("--binary", type=Path, default=Path("build/release/bench_engine_search"))
    parser.add_argument("--work", type=Path, help="folder for the files (default: a temporary one)")
    args = parser.parse_args()
    if not args.binary.exists():
        sys.exit(f"{args.binary} not found: build the release tree first")
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))

    base, queries = make_data(args.data, args.n, args.queries, args.dim, args.clusters, args.spread)
    truth = exact_top(base, queries)
    print(f"{args.data} data: n = {args.n:,}, d = {args.dim}, {processor_name()}", flush=True)
    with tempfile.TemporaryDirectory(dir=args.work) as tmp:
        folder = Path(tmp)
        base.tofile(folder / "base.f32")
        queries.tofile(folder / "queries.f32")
        truth.tofile(folder / "truth.u32")
        if args.part in ("exhaustive", "both"):
            exhaustive(args, folder, base, queries, truth, threads)
        if args.part in ("graph", "both"):
            graph(args, folder, base, queries, truth, threads)


if __name__ == "__main__":
    main()
