#!/usr/bin/env python3
"""Index build time of velq's create_index() beside hnswlib, in the same run.

Takes the first N rows of a float32 .npy file (e.g. the cached minilm-384
base), writes them into a fresh cosine database once per variant (codes only,
and codes with f16 raw vectors kept), and times create_index() (max_degree 32,
ef_construction 200, the defaults) in a fresh child process each, so every
build owns its pool. hnswlib (M = 16, ef_construction = 200, inner product on
the normalised rows) is timed in a child too. Each build reports wall seconds
and the process's processor seconds (all threads); the table prints medians
over --reps (systems interleaved within each rep) and the ratios to hnswlib.
Recall@10 of a graph search (ann_search_list_size / ef = --ef; the f16
variant reranks with its raw vectors) over the first --queries rows of
--queries-file, against exact cosine neighbours among the N rows, shows the
quality of the last graph built.

    bench/index_build_vs_hnswlib.py --base BASE.npy --queries-file QUERIES.npy
        [--n 20000,100000] [--reps 3] [--threads 8] [--queries 500] [--ef 64]
        [--velq-path LABEL=DIR ...] [--skip-hnswlib]

--velq-path LABEL=DIR also runs the module found in DIR (put first on the
children's import path), e.g. a build from before a change, its rows named
with LABEL.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

from peer_data import K, child_env, processor_name, recall

VARIANTS = {"velq codes": {"rerank": False}, "velq f16": {"rerank": True, "rerank_precision": "f16"}}


def unit(x):
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child_velq(args):
    import velq
    base = np.load(args.base, mmap_mode="r")[: args.n].astype(np.float32)
    options = VARIANTS[args.variant]
    with tempfile.TemporaryDirectory() as folder:
        db = velq.Database.open(folder, dimension=base.shape[1], metric="cosine", **options)
        db.insert_batch([str(i) for i in range(len(base))], base)
        db.flush()
        start, cpu = time.perf_counter(), cpu_seconds()
        db.create_index()
        wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu
        queries = np.load(args.queries_file)[: args.queries].astype(np.float32)
        search = {"_use_ann": True, "ann_search_list_size": args.ef}
        if options["rerank"]:
            search = {"_use_ann": True}
        found = [[int(h["id"]) for h in db.search(q, K, include=["id"], **search)] for q in queries]
        db.close()
    return {"wall": wall, "cpu": cpu, "found": found}


def child_hnswlib(args):
    import hnswlib
    base = unit(np.load(args.base, mmap_mode="r")[: args.n])
    index = hnswlib.Index(space="ip", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=16, ef_construction=200)
    index.set_num_threads(args.threads)
    start, cpu = time.perf_counter(), cpu_seconds()
    index.add_items(base, np.arange(len(base)))
    wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu
    index.set_ef(args.ef)
    labels, _ = index.knn_query(unit(np.load(args.queries_file)[: args.queries]), k=K)
    return {"wall": wall, "cpu": cpu, "found": labels.tolist()}


def run_child(args, system, n, velq_path):
    env = child_env(velq_path, args.threads)
    cmd = [sys.executable, __file__, "--child", system, "--base", args.base, "--n", str(n),
           "--threads", str(args.threads), "--queries", str(args.queries), "--queries-file", args.queries_file, "--ef", str(args.ef)]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def exact_cosine_top(base, queries):
    scores = queries @ base.T
    return np.argpartition(-scores, K, axis=1)[:, :K]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True)
    parser.add_argument("--n", default="20000,100000")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--queries", type=int, default=500)
    parser.add_argument("--queries-file", required=True)
    parser.add_argument("--ef", type=int, default=64)
    parser.add_argument("--velq-path", action="append", default=[],
                        help="LABEL=DIR: also run the module found in DIR")
    parser.add_argument("--skip-hnswlib", action="store_true")
    parser.add_argument("--child")
    parser.add_argument("--variant")
    args = parser.parse_args()

    if args.child:
        args.n = int(args.n)
        if args.child == "hnswlib":
            result = child_hnswlib(args)
        else:
            args.variant = args.child.split(":", 1)[1]
            result = child_velq(args)
        print(json.dumps(result))
        return

    builds = [("", None)] + [tuple(p.split("=", 1)) for p in args.velq_path]
    print(f"processor: {processor_name()}; threads {args.threads}; "
          f"load {os.getloadavg()[0]:.1f}; medians of {args.reps}")
    print("| n | system | wall s | cpu s | wall / hnswlib | cpu / hnswlib | recall@10 |")
    print("|---|---|---|---|---|---|---|")
    for n in map(int, args.n.split(",")):
        rows = unit(np.load(args.base, mmap_mode="r")[:n])
        truth = exact_cosine_top(rows, unit(np.load(args.queries_file)[: args.queries]))
        systems = [] if args.skip_hnswlib else [("hnswlib", "hnswlib", None)]
        for label, path in builds:
            for variant in VARIANTS:
                name = f"{variant} {label}".strip()
                systems.append((name, f"velq:{variant}", path))
        results = {name: [] for name, _, _ in systems}
        for _ in range(args.reps):  # interleaved, so load changes touch every system alike
            for name, system, path in systems:
                results[name].append(run_child(args, system, n, path))
        medians = {}
        for name, runs in results.items():
            medians[name] = (float(np.median([r["wall"] for r in runs])),
                             float(np.median([r["cpu"] for r in runs])),
                             recall(runs[-1]["found"], truth))
        peer = medians.get("hnswlib")
        for name, (wall, cpu, rec) in medians.items():
            ratio = (f"{wall / peer[0]:.2f} | {cpu / peer[1]:.2f}" if peer else "- | -")
            print(f"| {n} | {name} | {wall:.2f} | {cpu:.2f} | {ratio} | {rec:.4f} |", flush=True)


if __name__ == "__main__":
    main()
