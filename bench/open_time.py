#!/usr/bin/env python3
"""Time of `Database.open` on databases already written: wall and process CPU
time of the open alone, each open in a fresh process, with the worker pool at
all threads and at one. Several builds of the module (folders holding an
unpacked wheel, each put on PYTHONPATH in turn) open the same files, the
builds alternating open by open; the figures are medians and ratios to the
first build.

Databases, written once under --root by the first build (a later run finds
them there): 200,000 unit rows of 384 (cosine, l2, ip) and Fashion-MNIST's
60,000 rows of 784 (l2, ip) from the benchmark data cache. L2 and cosine
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
from peer_data import processor_name, random_rows

CASES = [
    ("cosine-384x200k", "cosine", "synthetic"),
    ("l2-384x200k", "l2", "synthetic"),
    ("ip-384x200k", "ip", "synthetic"),
    ("l2-784x60k", "l2", "fashion-mnist-784"),
    ("ip-784x60k", "ip", "fashion-mnist-784"),
]

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
path, metric, rows = sys.argv[1], sys.argv[2], np.load(sys.argv[3])
db = velq.Database.open(path, dimension=rows.shape[1], metric=metric,
                        wal_flush_threshold=len(rows) + 1)
for start in range(0, len(rows), 20_000):
    chunk = rows[start:start + 20_000]
    db.insert_batch([str(start + i) for i in range(len(chunk))], chunk)
db.close()
"""


def child_env(build, threads):
    env = dict(os.environ, PYTHONPATH=build)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # numpy's BLAS threads, started at import, would add their spinning to
    # the process time of an open that never calls them.
    env["OPENBLAS_NUM_THREADS"] = "1"
    if threads == 1:
        env["RAYON_NUM_THREADS"] = "1"
    else:
        env.pop("RAYON_NUM_THREADS", None)
    return env


def write_databases(root, build):
    rows_dir = root / "rows"
    rows_dir.mkdir(parents=True, exist_ok=True)
    sources = {
        "synthetic": lambda: random_rows(np.random.default_rng(11), 200_000, 384),
        "fashion-mnist-784": lambda: np.load(default_cache() / "fashion-mnist-784" / "base.npy"),
    }
    for name, metric, source in CASES:
        if (root / name).exists():
            continue
        rows_file = rows_dir / f"{source}.npy"
        if not rows_file.exists():
            np.save(rows_file, np.ascontiguousarray(sources[source](), dtype=np.float32))
        print(f"writing {name}", flush=True)
        subprocess.run([sys.executable, "-c", WRITE_CHILD, str(root / name), metric, str(rows_file)],
                       env=child_env(build, 0), check=True)


def open_once(path, build, threads):
    out = subprocess.run([sys.executable, "-c", OPEN_CHILD, str(path)], env=child_env(build, threads),
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, type=Path)
    parser.add_argument("--builds", required=True, help="name=folder,name=folder,...")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cases", default=",".join(c[0] for c in CASES))
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",")]
    write_databases(args.root, builds[0][1])
    print(f"processor: {processor_name()}; load average before: {os.getloadavg()}")
    print("medians of", args.repeats, "opens, each in a fresh process, builds alternating; "
          "ratio = this build / the first")
    print(f"{'database':>16} {'threads':>7} {'build':>6} {'wall s':>8} {'cpu s':>8} "
          f"{'wall ratio':>10} {'cpu ratio':>9}")
    chosen = args.cases.split(",")
    for name, _, _ in CASES:
        if name not in chosen:
            continue
        for threads in (0, 1):
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
