#!/usr/bin/env python3
"""velq's graph road beside hnswlib on one prepared data set, one thread.

Builds (or reopens, when --work already holds them) velq databases with
create_index, without reranking (knob: ann_search_list_size) and with f16
reranking (knob: results asked, of which the first 10 are kept), and hnswlib
(M 16, ef_construction 200; knob: ef) and faiss HNSW with 4-bit scalar codes
(the same graph parameters; knob: efSearch) over the first --n base rows, then
sweeps each knob one query per call and prints recall@10 and queries/s over
the process's CPU time (medians of --reps passes), and the rates at equal
recall with their ratio to hnswlib measured in the same run.

    bench/graph_road.py --dataset minilm-384 --cache CACHE --work DIR [--n 20000]
"""
import argparse
import os
import time
from pathlib import Path

import numpy as np

os.environ.setdefault("RAYON_NUM_THREADS", "1")

from dataset_cache import Dataset
from measures import RECALL_TARGETS, rate_at_recall, recall_at_10
from peer_data import K, exact_top, processor_name
from systems import Faiss, Hnswlib, Velq, faiss_variants

SWEEPS = {
    "velq graph": (10, 20, 40, 80, 160, 320),
    "velq graph rerank f16": (10, 20, 40),
    "hnswlib": (10, 20, 40, 80, 160, 320),
    "faiss HNSWSQ4": (10, 20, 40, 80, 160, 320),
}


def make(name, dim, metric):
    if name == "hnswlib":
        return Hnswlib(dim, metric, 1)
    if name.startswith("faiss"):
        return Faiss(dim, metric, 1, **faiss_variants()[name])
    if name == "velq graph":
        return Velq(dim, metric, 1, graph=True, rerank=False)
    return Velq(dim, metric, 1, graph=True, rerank=True, rerank_precision="f16")


def sweep(system, queries, truth, settings, reps):
    """(setting, recall, queries/s) per setting; rate over process CPU time."""
    points = []
    for value in settings:
        system.set(value)
        rates = []
        for _ in range(reps):
            start = time.process_time()
            found = [system.search(q, K) for q in queries]
            rates.append(len(queries) / (time.process_time() - start))
        points.append((value, recall_at_10(found, truth), float(np.median(rates))))
    return points


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", default="minilm-384")
    parser.add_argument("--cache", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True, help="folder kept between runs")
    parser.add_argument("--n", type=int, default=None, help="first N base rows (default all)")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--systems", nargs="+", default=list(SWEEPS))
    args = parser.parse_args()
    data = Dataset(args.cache, args.dataset)
    base = data.base()
    n = len(base) if args.n is None else min(args.n, len(base))
    queries = data.queries(args.queries)
    if n == len(base):
        truth = data.truth(args.queries)[:, :K]
    else:
        base = base[:n]
        truth = exact_top(base, queries)
    dim, metric = base.shape[1], data.info["metric"]
    print(f"{args.dataset}: {n:,} rows, {len(queries)} queries, k {K}; one thread, "
          f"queries/s over process CPU time, median of {args.reps}; {processor_name()}")
    curves = {}
    for name in args.systems:
        system = make(name, dim, metric)
        folder = args.work / f"{name.replace(' ', '-')}-{n}"
        if not folder.exists():
            folder.mkdir(parents=True)
            start = time.perf_counter()
            system.build(base, folder)
            print(f"{name}: built in {time.perf_counter() - start:.0f} s")
        system.open(folder)
        curves[name] = sweep(system, queries, truth, SWEEPS[name], args.reps)
        for value, rec, rate in curves[name]:
            print(f"  {name:<24} {system.knob:>22} {value:>4}: recall {rec:.4f}  {rate:8.0f} q/s")
    if "hnswlib" not in curves:
        return
    print("at equal recall@10: queries/s, ratio to hnswlib")
    peer_points = [(r, q) for _, r, q in curves["hnswlib"]]
    for target in RECALL_TARGETS:
        theirs = rate_at_recall(peer_points, target)
        cells = []
        for name, points in curves.items():
            if name == "hnswlib":
                continue
            mine = rate_at_recall([(r, q) for _, r, q in points], target)
            ratio = f"{mine / theirs:.2f}x" if mine and theirs else "-"
            cells.append(f"{name} {mine or 0:.0f} ({ratio})")
        print(f"  {target:.2f}: " + "; ".join(cells) + f"; hnswlib {theirs or 0:.0f}")


if __name__ == "__main__":
    main()
