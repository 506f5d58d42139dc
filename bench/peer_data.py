"""Data and measures shared by the scripts that run velq beside peer
libraries: seeded unit vectors (uniform directions or a Gaussian mixture whose
clusters resemble real embeddings), exact inner-product top-k, recall, the
name of the processor the figures came from, and the environment of a child
process that measures one build."""
import os
import platform
from pathlib import Path

import numpy as np

K = 10


def unit(x):
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def random_rows(rng, n, dim):
    return unit(rng.standard_normal((n, dim), dtype=np.float32))


def mixture_rows(rng, centres, n, spread):
    """n points around randomly chosen centres, each offset by a Gaussian of
    expected norm `spread`, then normalised."""
    dim = centres.shape[1]
    picks = rng.integers(0, len(centres), n)
    noise = rng.standard_normal((n, dim), dtype=np.float32) * np.float32(spread / np.sqrt(dim))
    return unit(centres[picks] + noise).astype(np.float32)


def make_data(kind, n, n_queries, dim, clusters, spread, seed=42):
    """(base, queries), float32 unit rows drawn from one law."""
    rng = np.random.default_rng(seed)
    if kind == "random":
        return random_rows(rng, n, dim), random_rows(rng, n_queries, dim)
    centres = random_rows(rng, clusters, dim)
    return mixture_rows(rng, centres, n, spread), mixture_rows(rng, centres, n_queries, spread)


def exact_top(base, queries):
    """Row numbers of the K largest inner products per query (unordered)."""
    out = np.empty((len(queries), K), dtype=np.uint32)
    for start in range(0, len(queries), 100):
        scores = queries[start:start + 100] @ base.T
        out[start:start + 100] = np.argpartition(-scores, K, axis=1)[:, :K]
    return out


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)])


def processor_name():
    """Model name with its family and model numbers (virtual machines often
    report only the vendor's brand)."""
    fields = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor() or "unknown processor"
    return (f"{fields.get('model name', 'unknown processor')} "
            f"(family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})")


def child_env(velq_path=None, threads=None):
    """The environment of a child process that imports velq from velq_path
    (ahead of PYTHONPATH; None: the installed one) with a worker pool of
    `threads` (None: the pool's default). numpy's BLAS runs on one thread:
    its threads, started at import, would add their spinning to the child's
    process time."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    if velq_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(velq_path), env.get("PYTHONPATH")]))
    return env
