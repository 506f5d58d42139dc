#!/usr/bin/env python3
"""velq beside chromadb's embedded persistent client, database against database.

Both sides get the same unit vectors with the same metadata (integer fields
whose value 0 selects 50, 10, 1 and 0.1 % of the rows) and in this one run:

- insert one by one (the first --single rows, one call per record) and
  batched (velq insert_batch of every row in one call; chromadb add in its
  largest accepted batches);
- filtered search, one query per call, top 10, at each selectivity:
  median latency and recall@10 against the exact inner-product top 10 of the
  rows the filter admits;
- bytes on disk per vector once both are closed;
- cold reopen: a fresh process opens the database and answers one query
  (interpreter start and imports not counted).

velq keeps float32 raw vectors for reranking (rerank_precision "f32"), so a
filtered search that falls back to the exhaustive scan ranks the admitted
rows by their exact scores; chromadb uses its defaults with the "ip" space.
Figures are medians; ratios are velq over chromadb (for latency: chromadb
over velq, so above 1 means velq is faster).

    bench/database_vs_chroma.py [--n 100000] [--dim 384] [--queries 200]
        [--single 2000] [--base BASE.npy --queries-file QUERIES.npy]

Needs velq, chromadb and numpy importable from one interpreter.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import chromadb
import velq

from measures import timed
from peer_data import K, processor_name, random_rows

# Field name -> share of rows whose value is 0.
SELECTIVITIES = {"sel50": 2, "sel10": 10, "sel1": 100, "sel01": 1000}

REOPEN_VELQ = """
import sys, time, numpy as np, velq
q = np.load(sys.argv[2])
t = time.perf_counter()
db = velq.Database.open(sys.argv[1])
db.search(q, 10)
print(time.perf_counter() - t)
"""

REOPEN_CHROMA = """
import sys, time, numpy as np, chromadb
q = np.load(sys.argv[2])
t = time.perf_counter()
c = chromadb.PersistentClient(path=sys.argv[1]).get_collection("bench")
c.query(query_embeddings=[q.tolist()], n_results=10)
print(time.perf_counter() - t)
"""


def metadata_rows(n):
    return [{name: i % m for name, m in SELECTIVITIES.items()} for i in range(n)]


def load_rows(path, n, dim):
    rows = np.load(path).astype(np.float32)[:n]
    if rows.shape[1] != dim:
        sys.exit(f"{path}: rows of {rows.shape[1]} values, expected {dim}")
    return rows / np.linalg.norm(rows, axis=1, keepdims=True)


def filtered_truth(base, queries, field_mod):
    """Row numbers of the exact top K among rows i with i % field_mod == 0."""
    admitted = np.arange(0, len(base), field_mod)
    scores = queries @ base[admitted].T
    top = np.argsort(-scores, axis=1)[:, :K]
    return admitted[top]


def recall(found, truth):
    """Share of the true top K (fewer when the filter admits fewer rows) found."""
    return float(np.mean([len(set(f) & set(t.tolist())) / len(t) for f, t in zip(found, truth)]))


def disk_bytes(folder):
    return sum(f.stat().st_size for f in Path(folder).rglob("*") if f.is_file())


def cold_reopen(script, folder, query_file, repeats=3):
    times = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", script, str(folder), str(query_file)],
                             check=True, capture_output=True, text=True).stdout
        times.append(float(out.strip().splitlines()[-1]))
    return statistics.median(times)


class Velq:
    name = "velq"

    def __init__(self, folder, dim):
        self.folder = folder
        self.db = velq.Database.open(str(folder), dimension=dim, bits=4, metric="ip",
                                     rerank_precision="f32")

    def insert_one(self, i, vector, metadata):
        self.db.insert(str(i), vector, metadata)

    def insert_batch(self, first, rows, metadatas):
        self.db.insert_batch([str(first + i) for i in range(len(rows))], rows, metadatas)

    def search(self, query, field):
        return [int(h["id"]) for h in self.db.search(query, K, filter={field: 0})]

    def close(self):
        self.db.close()


class Chroma:
    name = "chromadb"

    def __init__(self, folder, dim):
        self.folder = folder
        self.client = chromadb.PersistentClient(path=str(folder))
        self.collection = self.client.create_collection("bench", metadata={"hnsw:space": "ip"})
        self.batch = self.client.get_max_batch_size()

    def insert_one(self, i, vector, metadata):
        self.collection.add(ids=[str(i)], embeddings=[vector.tolist()], metadatas=[metadata])

    def insert_batch(self, first, rows, metadatas):
        for start in range(0, len(rows), self.batch):
            end = min(len(rows), start + self.batch)
            self.collection.add(ids=[str(first + i) for i in range(start, end)],
                                embeddings=rows[start:end], metadatas=metadatas[start:end])

    def search(self, query, field):
        found = self.collection.query(query_embeddings=[query.tolist()], n_results=K,
                                      where={field: 0})
        return [int(i) for i in found["ids"][0]]

    def close(self):
        # The persistent client has no close; dropping it releases the files.
        self.collection = None
        self.client = None


def measure(side, base, queries, metadatas, single, truths):
    figures = {}
    seconds, _ = timed(lambda: [side.insert_one(i, base[i], metadatas[i]) for i in range(single)])
    figures["insert one by one (vectors/s)"] = single / seconds
    rest = base[single:]
    seconds, _ = timed(lambda: side.insert_batch(single, rest, metadatas[single:]))
    figures["insert batched (vectors/s)"] = len(rest) / seconds
    for field, mod in SELECTIVITIES.items():
        share = 100.0 / mod
        latencies, found = [], []
        for q in queries:
            t, ids = timed(lambda q=q: side.search(q, field))
            latencies.append(t)
            found.append(ids)
        figures[f"filtered {share:g}%: ms per query"] = statistics.median(latencies) * 1e3
        figures[f"filtered {share:g}%: recall@10"] = recall(found, truths[field])
    side.close()
    figures["bytes on disk per vector"] = disk_bytes(side.folder) / len(base)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--single", type=int, default=2000, help="rows inserted one by one")
    parser.add_argument("--base", type=Path, help="npy file of base rows (default: synthetic)")
    parser.add_argument("--queries-file", type=Path, help="npy file of query rows")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    base = load_rows(args.base, args.n, args.dim) if args.base else random_rows(rng, args.n, args.dim)
    queries = (load_rows(args.queries_file, args.queries, args.dim) if args.queries_file
               else random_rows(rng, args.queries, args.dim))
    metadatas = metadata_rows(len(base))
    truths = {field: filtered_truth(base, queries, mod) for field, mod in SELECTIVITIES.items()}

    print(f"processor: {processor_name()}; load average {os.getloadavg()[0]:.1f}")
    print(f"{len(base):,} x {args.dim} unit rows ({'file' if args.base else 'synthetic'}), "
          f"{len(queries)} queries, top {K}; chromadb {chromadb.__version__}")
    root = Path(tempfile.mkdtemp(prefix="velq-vs-chroma-"))
    try:
        query_file = root / "query.npy"
        np.save(query_file, queries[0])
        results = {}
        for side_type, script in ((Velq, REOPEN_VELQ), (Chroma, REOPEN_CHROMA)):
            folder = root / side_type.name
            side = side_type(folder, args.dim)
            results[side_type.name] = measure(side, base, queries, metadatas, args.single, truths)
            results[side_type.name]["cold reopen + 1 query (ms)"] = (
                cold_reopen(script, folder, query_file) * 1e3)
            print(json.dumps({side_type.name: results[side_type.name]}), flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    ours, theirs = results["velq"], results["chromadb"]
    # Ratios read "how many times better velq is": rates over rates, costs
    # the other way round; recall is shown as it is.
    print()
    print("| figure | velq | chromadb | velq advantage |")
    print("|---|---:|---:|---:|")
    for key in ours:
        a, b = ours[key], theirs[key]
        if "recall" in key:
            ratio = "-"
        elif "vectors/s" in key:
            ratio = f"{a / b:.1f}x"
        else:
            ratio = f"{b / a:.1f}x"
        print(f"| {key} | {a:,.3f} | {b:,.3f} | {ratio} |")


if __name__ == "__main__":
    main()
