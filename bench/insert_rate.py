#!/usr/bin/env python3
"""Write rates of velq: insert_batch of a whole matrix into a fresh database,
then a flush (wall rows/s on all threads, process CPU microseconds per row) and one-by-one
insert (rows/s, CPU microseconds per row), for each configuration asked for;
chromadb's batched add of the same rows in the same run when it is importable
(--peer) for the ratio.

    bench/insert_rate.py [--n 100000] [--configs 384:dense,1536:dense,384:srht]
        [--reps 5] [--single 5000] [--peer] [--wal-flush-threshold N]

Figures are medians over --reps fresh databases. Set RAYON_NUM_THREADS before
the start to size velq's pool. Every flush rewrites the metadata and id files
whole, so a batch much larger than the flush threshold (5000 writes unless
--wal-flush-threshold says otherwise) pays for its own size once per flush:
compare --n 100000 with --n 1000000, at the default and at a raised threshold.
--single 0 leaves out the one-by-one inserts.
"""
import argparse
import os
import shutil
import statistics
import tempfile
import time

import numpy as np

import velq

from peer_data import processor_name, random_rows


def timed_both(call):
    """(wall seconds, process CPU seconds) of call()."""
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def fresh_velq(folder, dim, quantizer, threshold):
    return velq.Database.open(str(folder), dimension=dim, bits=4, metric="cosine",
                              quantizer_type=quantizer, wal_flush_threshold=threshold)


def on_fresh_velq(dim, quantizer, threshold, reps, write):
    """Median (wall, CPU) seconds of write(db) on a fresh database, over reps."""
    walls, cpus = [], []
    for _ in range(reps):
        folder = tempfile.mkdtemp(prefix="velq-ins-")
        try:
            db = fresh_velq(folder, dim, quantizer, threshold)
            wall, cpu = timed_both(lambda: write(db))
            db.close()
            walls.append(wall)
            cpus.append(cpu)
        finally:
            shutil.rmtree(folder)
    return statistics.median(walls), statistics.median(cpus)


def velq_batch(rows, ids, dim, quantizer, threshold, reps):
    def load(db):
        db.insert_batch(ids, rows)
        db.flush()  # what a raised threshold leaves in the log is written here, timed too
    return on_fresh_velq(dim, quantizer, threshold, reps, load)


def velq_single(rows, ids, dim, quantizer, threshold, reps):
    def one_by_one(db):
        insert = db.insert
        for i, row in zip(ids, rows):
            insert(i, row)
    return on_fresh_velq(dim, quantizer, threshold, reps, one_by_one)


def chroma_batch(rows, ids, reps):
    import chromadb
    walls = []
    for _ in range(reps):
        folder = tempfile.mkdtemp(prefix="chroma-ins-")
        try:
            client = chromadb.PersistentClient(path=folder)
            collection = client.create_collection("bench", metadata={"hnsw:space": "cosine"})
            step = client.get_max_batch_size()

            def run():
                for start in range(0, len(rows), step):
                    collection.add(ids=ids[start:start + step], embeddings=rows[start:start + step])

            wall, _ = timed_both(run)
            walls.append(wall)
        finally:
            shutil.rmtree(folder)
    return statistics.median(walls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--configs", default="384:dense,1536:dense,384:srht")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--single", type=int, default=5000, help="rows inserted one by one")
    parser.add_argument("--peer", action="store_true", help="also time chromadb's batched add")
    parser.add_argument("--wal-flush-threshold", type=int, default=None,
                        help="writes between flushes (the database's default when absent)")
    args = parser.parse_args()
    threshold = args.wal_flush_threshold

    print(f"processor: {processor_name()}, {os.cpu_count()} logical CPUs, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, "
          f"load {os.getloadavg()[0]:.1f}, n {args.n:,}, "
          f"wal_flush_threshold {threshold if threshold is not None else 'default'}")
    print(f"{'configuration':<16} {'batch rows/s':>13} {'CPU us/row':>11} "
          f"{'single rows/s':>14} {'CPU us/row':>11} {'peer rows/s':>12} {'ratio':>7}")
    rng = np.random.default_rng(7)
    for config in args.configs.split(","):
        dim_text, quantizer = config.split(":")
        dim = int(dim_text)
        rows = random_rows(rng, args.n, dim)
        ids = [str(i) for i in range(args.n)]
        wall, cpu = velq_batch(rows, ids, dim, quantizer, threshold, args.reps)
        single = min(args.single, args.n)
        one_rate = one_us = "-"
        if single > 0:
            one_wall, one_cpu = velq_single(rows[:single], ids[:single], dim, quantizer, threshold,
                                            max(1, args.reps // 2))
            one_rate, one_us = f"{single / one_wall:,.0f}", f"{one_cpu / single * 1e6:.2f}"
        peer = ratio = "-"
        if args.peer:
            peer_wall = chroma_batch(rows, ids, max(1, args.reps // 2))
            peer = f"{args.n / peer_wall:,.0f}"
            ratio = f"{peer_wall / wall:.1f}x"
        print(f"{config:<16} {args.n / wall:>13,.0f} {cpu / args.n * 1e6:>11.2f} "
              f"{one_rate:>14} {one_us:>11} {peer:>12} {ratio:>7}")


if __name__ == "__main__":
    main()
