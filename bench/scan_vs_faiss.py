#!/usr/bin/env python3
"""Exhaustive scan of 4-bit codes against faiss on the same random unit vectors.

Writes the vectors and queries to a temporary folder, runs
build/release/bench_code_scan on them (dense and SRHT rotation, b = 4, one
thread and the whole pool) and faiss's IndexScalarQuantizer (4-bit) and
IndexFlatIP in this process, one query per call, top 10, and prints the
codes scanned per second (medians) with their ratios to faiss's 4-bit index
and to its flat index, the share of codes the exact kernel scored, and the
blocked layout's memory and build time (per million codes, scaled from n),
and a plain read of the blocked layout on the same threads (codes per second
at the memory's ceiling) with the scan's share of it.

One-thread rows time each call by the calling thread's processor time on both
sides (faiss runs a one-thread search on the calling thread), so time spent
waiting for a processor on a shared machine is left out; rows with every
thread use wall time.

    bench/scan_vs_faiss.py [--n 200000] [--dims 384,768] [--queries 30]
                           [--binary build/release/bench_code_scan ...]

With several --binary programs (say, builds before and after a change) each
gets its rows, labelled by its position, beside the same faiss figures.
"""
import argparse
import json
import os
import subprocess
import tempfile
import time
from pathlib import Path

import faiss
import numpy as np

from peer_data import K, processor_name, random_rows


def faiss_rate(index, base, queries, threads, reps):
    faiss.omp_set_num_threads(threads)
    clock = time.thread_time if threads == 1 else time.perf_counter
    times = []
    for _ in range(reps):
        for q in queries:
            t = clock()
            index.search(q[None, :], K)
            times.append(clock() - t)
    return len(base) / float(np.median(times))


def run_ours(binary, folder, dim, mode, threads, reps):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [str(binary), "--dim", str(dim), "--base", str(folder / "base.f32"),
           "--queries", str(folder / "queries.f32"), "--mode", mode, "--reps", str(reps),
           "--clock", "thread" if threads == 1 else "wall"]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return {row["figure"]: row for row in map(json.loads, out.splitlines())}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--dims", default="384,768")
    parser.add_argument("--queries", type=int, default=30)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--binary", action="append", type=Path,
                        help="bench_code_scan program(s) to run (default: build/release's)")
    args = parser.parse_args()
    binaries = args.binary or [Path(__file__).resolve().parent.parent / "build/release/bench_code_scan"]
    threads = os.cpu_count()
    print(f"processor: {processor_name()}, {threads} threads; n = {args.n:,}, top {K}, "
          f"one query per call, medians of {args.queries} x {args.reps} calls")
    for b, path in enumerate(binaries):
        print(f"binary {b}: {path}")
    print(f"{'d':>5} {'mode':>6} {'thr':>4} {'bin':>3} {'velq 2-stage':>13} {'velq plain':>11} {'faiss sq4':>10} "
          f"{'faiss flat':>11} {'x sq4':>6} {'x flat':>7} {'read':>9} {'/read':>6} {'survive':>8} {'layout MB/1M':>13} "
          f"{'slots MB/1M':>12} {'build s/1M':>11}")
    rng = np.random.default_rng(7)
    for dim in map(int, args.dims.split(",")):
        base = random_rows(rng, args.n, dim)
        queries = random_rows(rng, args.queries, dim)
        sq = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
        sq.train(base)
        sq.add(base)
        flat = faiss.IndexFlatIP(dim)
        flat.add(base)
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            base.tofile(folder / "base.f32")
            queries.tofile(folder / "queries.f32")
            for mode in ("dense", "srht"):
                for t in (1, threads):
                    peer_sq = faiss_rate(sq, base, queries, t, args.reps)
                    peer_flat = faiss_rate(flat, base, queries, t, args.reps)
                    for b, binary in enumerate(binaries):
                        print_row(run_ours(binary, folder, dim, mode, t, args.reps), dim, mode, t, b,
                                  peer_sq, peer_flat, args.n)


def print_row(ours, dim, mode, t, b, peer_sq, peer_flat, n):
    scan = ours["scan"]
    layout = ours["layout"]
    rate = scan["two_stage_codes_per_s"]
    ceiling = ours["read"]["codes_per_s"] if "read" in ours else float("nan")
    per_million = 1e6 / n
    print(f"{dim:>5} {mode:>6} {t:>4} {b:>3} {rate / 1e6:>12.1f}M "
          f"{scan['plain_codes_per_s'] / 1e6:>10.1f}M {peer_sq / 1e6:>9.1f}M "
          f"{peer_flat / 1e6:>10.1f}M {rate / peer_sq:>6.2f} {rate / peer_flat:>7.2f} "
          f"{ceiling / 1e6:>8.1f}M {rate / ceiling:>6.2f} "
          f"{scan['survivors'] * 100:>7.2f}% "
          f"{layout['layout_bytes'] * per_million / 1e6:>13.1f} "
          f"{layout['slot_bytes'] * per_million / 1e6:>12.1f} "
          f"{layout['build_s'] * per_million:>11.3f}")
    if scan["pool_mismatches"]:
        print("  pools differ from the plain scan!")
    q = ours["quantize"]
    print(f"{'':>5} {mode:>6} {t:>4} {b:>3}   quantize: batch {q['batch_per_s']:,.0f}/s, "
          f"one at a time {q['single_per_s']:,.0f}/s")


if __name__ == "__main__":
    main()
