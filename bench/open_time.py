#!/usr/bin/env python3
"""Time of `Database.open` on databases already written: wall and process CPU
time of the open alone, each open in a fresh process, with the worker pool at
all threads and at one. Several builds of the module (folders holding an
unpacked wheel, each put on PYTHONPATH in turn) open the same files, the
builds alternating open by open; the figures are medians and ratios to the
first build.

Databases, written once under --root by the first build (a later run finds
them there): 200,000 unit rows of 384 (cosine, l2, ip) and Fashion-MNIST's
60,000 rows of 784 (l2, ip) from the benchmark data cache; on request
(--cases l2-768x1m) the cache's million rows of 768 (l2). L2 and cosine
opens decode every stored code for its reconstruction norm; ip opens do
not, and give the floor.

    bench/open_time.py --root DIR --builds base=/tmp/a,new=/tmp/b [--repeats 5]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

from dataset_cache import default_cache
from peer_data import child_env, processor_name, random_rows

CASES = [
    ("cosine-384x200k", "cosine", "synthetic"),
    ("l2-384x200k", "l2", "synthetic"),
    ("ip-384x200k", "ip", "synthetic"),
    ("l2-784x60k", "l2", "fashion-mnist-784"),
    ("ip-784x60k", "ip", "fashion-mnist-784"),
    ("l2-768x1m", "l2", "synthetic-768-1m"),  # only when named in --cases
]
DEFAULT_CASES = [c[0] for c in CASES if c[2] != "synthetic-768-1m"]

OPEN_CHILD = """
import json, sys, time, os
import velq
wall, cpu = time.perf_counter(), time.process_time()
db = velq.Database.open(sys.argv[1])
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
print(json.dumps({"wall": wall, "cpu": cpu, "records": len(db)}), flush=True)
os._exit(0)  # leaves the files as they were: no flush at exit
"""

WRITE_CHILD = """
import sys, numpy as np, velq
path, metric = sys.argv[1], sys.argv[2]
rows = np.ascontiguousarray(np.load(sys.argv[3]), dtype=np.float32)
db = velq.Database.open(path, dimension=rows.shape[1], metric=metric,
                        wal_flush_threshold=len(rows) + 1)
for start in range(0, len(rows), 20_000):
    chunk = rows[start:start + 20_000]
    db.insert_batch([str(start + i) for i in range(len(chunk))], chunk)
db.close()
"""


def rows_file(root, source):
    """The rows of a source as a .npy file: the cache's own, or seeded ones
    written once under root."""
    if source != "synthetic":
        return default_cache() / source / "base.npy"
    path = root / "rows" / "synthetic-384x200k.npy"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        np.save(path, random_rows(np.random.default_rng(11), 200_000, 384))
    return path


def write_databases(root, build, chosen):
    for name, metric, source in CASES:
        if name not in chosen or (root / name).exists():
            continue
        print(f"writing {name}", flush=True)
        subprocess.run([sys.executable, "-c", WRITE_CHILD, str(root / name), metric,
                        str(rows_file(root, source))], env=child_env(build), check=True)


def open_once(path, build, threads):
    out = subprocess.run([sys.executable, "-c", OPEN_CHILD, str(path)], env=child_env(build, threads or None),
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, type=Path)
    parser.add_argument("--builds", required=True, help="name=folder,name=folder,...")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cases", default=",".join(DEFAULT_CASES))
    parser.add_argument("--threads", default="all,1", help="pool sizes: all, 1 or both")
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",")]
    chosen = args.cases.split(",")
    write_databases(args.root, builds[0][1], chosen)
    print(f"processor: {processor_name()}; load average before: {os.getloadavg()}")
    print("medians of", args.repeats, "opens, each in a fresh process, builds alternating; "
          "ratio = this build / the first")
    print(f"{'database':>16} {'threads':>7} {'build':>6} {'wall s':>8} {'cpu s':>8} "
          f"{'wall ratio':>10} {'cpu ratio':>9}")
    pool_sizes = [0 if t == "all" else int(t) for t in args.threads.split(",")]
    for name, _, _ in CASES:
        if name not in chosen:
            continue
        for threads in pool_sizes:
            samples = {b: [] for b, _ in builds}
            for _ in range(args.repeats):
                for build, folder in builds:
                    samples[build].append(open_once(args.root / name, folder, threads))
            first = None
            for build, _ in builds:
                wall = statistics.median(s["wall"] for s in samples[build])
                cpu = statistics.median(s["cpu"] for s in samples[build])
                first = first or (wall, cpu)
                print(f"{name:>16} {threads or 'all':>7} {build:>6} {wall:>8.3f} {cpu:>8.3f} "
                      f"{wall / first[0]:>10.2f} {cpu / first[1]:>9.2f}", flush=True)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
