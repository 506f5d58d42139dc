"""The benchmark data cache: where each prepared data set lives, how its files
are written (atomically, so a reader polling for a file never sees half of
it) and read back, and the exact top-100 answers stored beside it.

A data set is a folder `<cache>/<name>/` holding `base.npy` and `queries.npy`
(float32 rows), `info.json` (metric, source, counts) and `truth-<metric>.npy`
(int32 row numbers of the 100 best base rows per query, best first, computed
in float64)."""
import json
import os
from pathlib import Path

import numpy as np

TRUTH_DEPTH = 100
CACHE_ENV = "VELQ_BENCH_CACHE"


def default_cache():
    return Path(os.environ.get(CACHE_ENV) or Path.home() / ".cache" / "velq-bench")


def truth_metric(metric):
    """Inner product and cosine rank unit rows alike; they share one file."""
    return "l2" if metric == "l2" else "ip"


def save_npy(path, array):
    """Writes `path` through a temporary file and a rename."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as f:
        np.save(f, array)
    os.replace(tmp, path)


def save_info(folder, info):
    tmp = folder / "info.json.tmp"
    tmp.write_text(json.dumps(info, indent=2) + "\n")
    os.replace(tmp, folder / "info.json")


def best_first(scores, rows, depth):
    """Per query, the `depth` best (score, row) pairs, best first, ties
    broken by the lower row number."""
    top = np.argpartition(-scores, depth - 1, axis=1)[:, :depth]
    top_scores = np.take_along_axis(scores, top, axis=1)
    top_rows = np.take_along_axis(rows, top, axis=1)
    order = np.lexsort((top_rows, -top_scores), axis=1)
    return np.take_along_axis(top_scores, order, axis=1), np.take_along_axis(top_rows, order, axis=1)


def exact_truth(base, queries, metric, rows=50_000, block=1_000):
    """Row numbers of the TRUTH_DEPTH best base rows per query, best first,
    ties broken by the lower row number; scores in float64. Queries go
    `block` at a time against the base read `rows` at a time, so neither a
    set of millions of rows nor one of many queries needs more than one
    block's scores in memory."""
    out = np.empty((len(queries), TRUTH_DEPTH), dtype=np.int32)
    for first in range(0, len(queries), block):
        q64 = queries[first:first + block].astype(np.float64)
        best_scores = np.empty((len(q64), 0))
        best_rows = np.empty((len(q64), 0), dtype=np.int64)
        for start in range(0, len(base), rows):
            part = np.asarray(base[start:start + rows], dtype=np.float64)
            scores = q64 @ part.T
            if metric == "l2":  # minus the squared distance, up to a per-query constant
                scores = 2 * scores - np.einsum("ij,ij->i", part, part)
            numbers = np.broadcast_to(np.arange(start, start + len(part)), scores.shape)
            best_scores, best_rows = best_first(np.hstack([best_scores, scores]),
                                                np.hstack([best_rows, numbers]),
                                                min(TRUTH_DEPTH, best_rows.shape[1] + len(part)))
        out[first:first + block] = best_rows
    return out


def write_truth(folder, metric):
    base = np.load(folder / "base.npy", mmap_mode="r")
    queries = np.load(folder / "queries.npy")
    save_npy(folder / f"truth-{truth_metric(metric)}.npy", exact_truth(base, queries, metric))


class Dataset:
    """One prepared data set, read from the cache. `metric` serves its
    vectors under another metric than their own; the set's name then says
    which (synthetic-768-l2), and so do the results written under it."""

    def __init__(self, cache, name, metric=None):
        self.folder = Path(cache) / name
        self.info = json.loads((self.folder / "info.json").read_text())
        self.metric = metric or self.info["metric"]
        self.name = name if self.metric == self.info["metric"] else f"{name}-{self.metric}"

    def ensure_truth(self):
        """Writes the exact answers under this metric when the cache lacks them."""
        if not (self.folder / f"truth-{truth_metric(self.metric)}.npy").exists():
            write_truth(self.folder, self.metric)

    def base(self):
        return np.load(self.folder / "base.npy")

    def queries(self, n=None):
        rows = np.load(self.folder / "queries.npy", mmap_mode="r")
        return np.ascontiguousarray(rows[:n] if n else rows)

    def truth(self, n=None):
        rows = np.load(self.folder / f"truth-{truth_metric(self.metric)}.npy", mmap_mode="r")
        return np.ascontiguousarray(rows[:n] if n else rows)
