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


def exact_truth(base, queries, metric, block=64):
    """Row numbers of the TRUTH_DEPTH best base rows per query, best first,
    ties broken by the lower row number; scores in float64."""
    base64 = base.astype(np.float64)
    base_sq = np.einsum("ij,ij->i", base64, base64) if metric == "l2" else None
    out = np.empty((len(queries), TRUTH_DEPTH), dtype=np.int32)
    for start in range(0, len(queries), block):
        q = queries[start:start + block].astype(np.float64)
        scores = q @ base64.T
        if metric == "l2":
            scores = 2 * scores - base_sq  # minus the squared distance, up to a per-row constant
        top = np.argpartition(-scores, TRUTH_DEPTH, axis=1)[:, :TRUTH_DEPTH]
        top_scores = np.take_along_axis(scores, top, axis=1)
        order = np.lexsort((top, -top_scores), axis=1)
        out[start:start + block] = np.take_along_axis(top, order, axis=1)
    return out


def write_truth(folder, metric):
    base = np.load(folder / "base.npy", mmap_mode="r")
    queries = np.load(folder / "queries.npy")
    save_npy(folder / f"truth-{truth_metric(metric)}.npy", exact_truth(base, queries, metric))


class Dataset:
    """One prepared data set, read from the cache."""

    def __init__(self, cache, name):
        self.folder = Path(cache) / name
        self.name = name
        self.info = json.loads((self.folder / "info.json").read_text())
        self.metric = self.info["metric"]

    def base(self):
        return np.load(self.folder / "base.npy")

    def queries(self, n=None):
        rows = np.load(self.folder / "queries.npy", mmap_mode="r")
        return np.ascontiguousarray(rows[:n] if n else rows)

    def truth(self, n=None):
        rows = np.load(self.folder / f"truth-{truth_metric(self.metric)}.npy", mmap_mode="r")
        return np.ascontiguousarray(rows[:n] if n else rows)
