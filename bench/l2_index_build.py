#!/usr/bin/env python3
"""create_index of an l2 database beside an ip database holding the same
vectors: build time and the process's peak memory, then the graph road's
queries/s and recall@10 (one query per call) beside the exhaustive road.

One database per run, so that the peak resident set belongs to it alone:

    bench/l2_index_build.py --metric l2 --work DIR [--data fashion|synthetic] [--n 60000]

The data are Fashion-MNIST's training images when the Debian package is
installed (--data fashion), else bench/data.py's synthetic generator at 784
dimensions (unit rows). Exact answers come from numpy in f64. The thread
count is RAYON_NUM_THREADS, read once by the module. The build's processor
time (all threads) is printed beside its wall time: on a loaded machine it
is the steadier figure of a one-thread build.
"""
import argparse
import gzip
import os
import shutil
import time
from pathlib import Path

import numpy as np

from data import FASHION, SEED, synthetic_rows
from measures import recall_at_10, reset_peak
from peer_data import processor_name

DIM = 784
QUERIES = 200
LIST_SIZES = (10, 20, 40, 80, 160)


def fashion(n):
    with gzip.open(FASHION / "train-images-idx3-ubyte.gz") as f:
        raw = f.read()
    rows = np.frombuffer(raw, np.uint8, offset=16).reshape(-1, DIM).astype(np.float32)
    return rows[:n], rows[-QUERIES:]


def synthetic(n):
    rng = np.random.default_rng(SEED + DIM)
    spectrum = np.arange(1, DIM + 1, dtype=np.float32) ** -0.5
    spectrum /= np.linalg.norm(spectrum)
    rotation = np.linalg.qr(rng.standard_normal((DIM, DIM)))[0].astype(np.float32)
    centres = rng.standard_normal((max(n // 100, 10), DIM), dtype=np.float32) * spectrum
    queries = synthetic_rows(rng, rotation, spectrum, centres, QUERIES)
    return synthetic_rows(rng, rotation, spectrum, centres, n), queries


def exact_top10(base, queries, metric):
    b = base.astype(np.float64)
    q = queries.astype(np.float64)
    scores = q @ b.T
    if metric == "l2":
        scores = 2 * scores - (b * b).sum(axis=1)[None, :]
    return np.argsort(-scores, axis=1, kind="stable")[:, :10]


def status_mb(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def rate_and_recall(db, queries, truth, **kwargs):
    start = time.perf_counter()
    found = [[int(h["id"]) for h in db.search(q, 10, include=["id"], **kwargs)] for q in queries]
    return len(queries) / (time.perf_counter() - start), recall_at_10(found, truth)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--metric", choices=("ip", "l2"), required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--data", choices=("fashion", "synthetic"),
                        default="fashion" if FASHION.exists() else "synthetic")
    parser.add_argument("--n", type=int, default=60_000)
    parser.add_argument("--no-search", action="store_true")
    args = parser.parse_args()
    import velq

    base, queries = (fashion if args.data == "fashion" else synthetic)(args.n)
    folder = args.work / f"{args.data}-{args.metric}"
    shutil.rmtree(folder, ignore_errors=True)
    db = velq.Database.open(str(folder), dimension=DIM, metric=args.metric)
    db.insert_batch([str(i) for i in range(len(base))], base)
    reset_peak()
    before = status_mb("VmRSS")
    start, cpu = time.perf_counter(), time.process_time()
    db.create_index()
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    after = status_mb("VmHWM")
    threads = os.environ.get("RAYON_NUM_THREADS", "all")
    print(f"{processor_name()}; {args.data} {len(base)} x {DIM}; {args.metric}; threads {threads}")
    print(f"create_index {seconds:.2f} s ({cpu:.2f} s processor, all threads); resident {before:.0f} MB at the start, peak "
          f"{after:.0f} MB during it (+{after - before:.0f} MB)", flush=True)
    if args.no_search:
        return
    truth = exact_top10(base, queries, args.metric)
    rate, rec = rate_and_recall(db, queries, truth, _use_ann=False)
    print(f"exhaustive: {rate:.1f} q/s, recall@10 {rec:.3f}")
    for size in LIST_SIZES:
        rate, rec = rate_and_recall(db, queries, truth, _use_ann=True, ann_search_list_size=size)
        print(f"graph list {size}: {rate:.1f} q/s, recall@10 {rec:.3f}", flush=True)
    db.close()


if __name__ == "__main__":
    main()
