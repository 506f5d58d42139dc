#!/usr/bin/env python3
"""The fixed cost of one search call: `search(q, top_k=10)` on a database
holding a single record, so nearly all of it is query preparation (the
rotation and projection of the query, its tables) and the binding, beside an
empty database (the binding alone) and beside the peers' one-vector indexes
(hnswlib, faiss flat inner product) in the same run. Median microseconds of
process CPU time per call over many calls; one thread.

    bench/fixed_cost.py [--dims 384,768,1536] [--calls 2000]
"""
import argparse
import statistics
import tempfile
import time

import numpy as np

import velq
from peer_data import processor_name

TOP_K = 10


def median_us(call, queries, calls):
    """Median process CPU time of one call, in microseconds. Calls are timed
    in groups of 20 so the clock's resolution does not dominate."""
    group = 20
    samples = []
    for start in range(0, calls, group):
        rows = [queries[(start + i) % len(queries)] for i in range(group)]
        begin = time.process_time()
        for q in rows:
            call(q)
        samples.append((time.process_time() - begin) / group)
    return statistics.median(samples) * 1e6


def velq_figures(root, dim, quantizer, queries, calls):
    db = velq.Database.open(f"{root}/{quantizer}-{dim}", dimension=dim, quantizer_type=quantizer)
    empty = median_us(lambda q: db.search(q, TOP_K), queries, calls)
    db.insert("0", queries[0])
    one = median_us(lambda q: db.search(q, TOP_K), queries, calls)
    return empty, one


def peer_figures(dim, queries, calls):
    import faiss
    import hnswlib
    faiss.omp_set_num_threads(1)
    flat = faiss.IndexFlatIP(dim)
    flat.add(queries[:1])
    graph = hnswlib.Index(space="ip", dim=dim)
    graph.init_index(max_elements=1, M=16, ef_construction=200)
    graph.set_num_threads(1)
    graph.add_items(queries[:1])
    as_rows = [q.reshape(1, -1) for q in queries]
    k = 1  # a one-vector index answers at most one hit
    faiss_us = median_us(lambda q: flat.search(q, k), as_rows, calls)
    hnsw_us = median_us(lambda q: graph.knn_query(q, k=k), as_rows, calls)
    return faiss_us, hnsw_us


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dims", default="384,768,1536")
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    print(f"processor: {processor_name()}; median us of process CPU time per call, "
          f"{args.calls} calls, top_k {TOP_K}")
    print(f"{'d':>5} {'quantizer':>9} {'empty db':>9} {'one record':>11} "
          f"{'faiss flat':>11} {'hnswlib':>8} {'one/hnswlib':>12}")
    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory() as root:
        for dim in (int(d) for d in args.dims.split(",")):
            queries = rng.standard_normal((64, dim), dtype=np.float32)
            queries /= np.linalg.norm(queries, axis=1, keepdims=True)
            faiss_us, hnsw_us = peer_figures(dim, queries, args.calls)
            for quantizer in ("dense", "srht"):
                empty, one = velq_figures(root, dim, quantizer, queries, args.calls)
                print(f"{dim:>5} {quantizer:>9} {empty:>9.1f} {one:>11.1f} "
                      f"{faiss_us:>11.1f} {hnsw_us:>8.1f} {one / hnsw_us:>12.2f}")


if __name__ == "__main__":
    main()
