#!/usr/bin/env python3
"""One system on one data set in a process of its own, so that its peak
memory (VmHWM) and its thread pool belong to it alone. bench/compare.py
runs it; it prints one JSON object.

    system_run.py build SYSTEM --cache DIR --dataset NAME [--metric M] --threads T --work DIR
                        [--insert-one N]
    system_run.py serve SYSTEM --cache DIR --dataset NAME [--metric M] --threads T --work DIR
                        [--reps R] [--queries N] [--timed-queries N]

build: batched build into WORK/index (seconds, rows/s), a second build of N
rows one per call, bytes on disk per vector, peak memory.
serve: opens WORK/index (the time of a first open in a fresh process, files
in the page cache), then for each setting of the system's knob: one query per
call (queries/s, p50 and p99 latency) over the first N queries; with more
than one thread also recall@10 over every query, all queries in one call,
and Recall@1@k at the first setting that reaches recall@10 0.95 (else the
last); for velq scans the read ceiling and the binding cost; peak memory and
the process's memory before the open. At one thread the per-call figures
are process CPU time, at more threads wall time.
"""
import argparse
import json
import shutil
import time
from pathlib import Path

import numpy as np

from dataset_cache import Dataset
from measures import (K, RECALL_AT, batch_rate, memory_mb, per_call_figures, read_rate,
                      recall_1_at, recall_at_10, timed)
from systems import Velq, folder_bytes, make_system


def build(system, data, args):
    base = data.base()
    index = args.work / "index"
    shutil.rmtree(index, ignore_errors=True)
    index.mkdir(parents=True)
    seconds, figures = timed(lambda: system.build(base, index))
    out = {"build_s": seconds, "build_rows_per_s": len(base) / seconds,
           "disk_bytes_per_vector": folder_bytes(index) / len(base), **(figures or {})}
    if args.insert_one:
        single = args.work / "insert-one"
        shutil.rmtree(single, ignore_errors=True)
        single.mkdir(parents=True)
        rows = base[:args.insert_one]
        out["insert_one_per_s"] = len(rows) / timed(lambda: system.insert_one(rows, single))[0]
        shutil.rmtree(single)
    out["build_peak_mb"] = max(memory_mb("VmHWM"), out.get("insert_peak_mb", 0))
    return out


def serve(system, data, args):
    """One thread: one query per call only. More: recall over every query,
    one query per call, batched, and Recall@1@k."""
    queries, truth = data.queries(args.queries), data.truth(args.queries)
    timed_queries = queries[:args.timed_queries]
    pooled = args.threads > 1
    clock = time.perf_counter if pooled else time.process_time
    before = memory_mb("VmRSS")
    open_s, _ = timed(lambda: system.open(args.work / "index"))
    points = []
    for setting in system.settings:
        system.set(setting)
        qps, p50, p99, found = per_call_figures(lambda q: system.search(q, K), timed_queries,
                                                args.reps, clock)
        point = {"setting": setting, "qps": qps, "p50_us": p50, "p99_us": p99}
        if pooled:
            point["recall"] = recall_at_10(system.search_batch(queries, K), truth)
            point["batch_qps"] = batch_rate(lambda q: system.search_batch(q, K), queries,
                                            args.reps)
        else:
            point["recall"] = recall_at_10(found, truth)
        points.append(point)
    out = {"open_s": open_s, "rss_before_mb": before, "points": points}
    if pooled:
        reference = next((p for p in points if p["recall"] >= 0.95), points[-1])
        system.set(reference["setting"])
        deep = system.search_batch(queries, max(RECALL_AT))
        out["recall1_setting"] = reference["setting"]
        out["recall1_at"] = {k: recall_1_at(deep, truth, k) for k in RECALL_AT}
    if isinstance(system, Velq) and not system.graph:
        out.update(velq_extras(queries, args))
    out["peak_mb"] = memory_mb("VmHWM")
    return out


def velq_extras(queries, args):
    """The read ceiling of the scan: a plain sum over the bytes of the slot
    file that it reads, in the same process and pool size; and the binding's
    share of a call: a search on a database of one record."""
    codes = np.memmap(args.work / "index" / "live_codes.bin", mode="r")
    import velq
    one = velq.Database.open(str(args.work / "one-record"), dimension=queries.shape[1])
    if len(one) == 0:
        one.insert("0", queries[0])
    clock = time.perf_counter if args.threads > 1 else time.process_time
    _, p50, _, _ = per_call_figures(lambda q: one.search(q, K, include=["id"]),
                                    queries[:args.timed_queries], args.reps, clock)
    return {"codes_bytes": codes.nbytes, "read_bytes_per_s": read_rate(codes, args.threads, args.reps),
            "one_record_p50_us": p50}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("phase", choices=("build", "serve"))
    parser.add_argument("system")
    parser.add_argument("--cache", type=Path, required=True)
    parser.add_argument("--dataset", required=True)
    parser.add_argument("--metric", help="serve the set under this metric instead of its own")
    parser.add_argument("--threads", type=int, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--insert-one", type=int, default=0)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--queries", type=int, default=1000, help="queries used, from the first")
    parser.add_argument("--timed-queries", type=int, default=300)
    args = parser.parse_args()
    data = Dataset(args.cache, args.dataset, args.metric)
    system = make_system(args.system, data.info["dimension"], data.metric, args.threads)
    run = build if args.phase == "build" else serve
    print(json.dumps(run(system, data, args)))


if __name__ == "__main__":
    main()
