"""Soak: a long run of mixed calls against one database, with periodic
reopens, printing throughput and resident memory as it goes.

After a warm-up that inserts --live records, every insert is paired with a
delete, so the record count, and with it the memory the database needs,
stays level: resident memory (VmRSS) should stop growing once the first
reopen and flush cycles have run. The last lines compare the memory of the
second half with the first.

    .venv/bin/python bench/soak.py                        # 1,000,000 calls
    .venv/bin/python bench/soak.py --ops 200000 --every 20000
"""

import argparse
import random
import tempfile
import time

import numpy as np

import velq


def memory_kib():
    """(VmRSS, VmHWM) of this process, in KiB."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields["VmRSS"], fields["VmHWM"]


class Soak:
    def __init__(self, args, path):
        self.args = args
        self.path = path
        self.rng = random.Random(args.seed)
        self.vecs = np.random.default_rng(args.seed).standard_normal((4096, args.dim)).astype(np.float32)
        self.live = []  # ids, for picking one at random
        self.where = {}  # id -> index in self.live
        self.serial = 0
        self.db = self.open()

    def open(self):
        return velq.Database.open(self.path, dimension=self.args.dim, metric="cosine", rerank_precision="f16")

    def vector(self):
        return self.vecs[self.rng.randrange(len(self.vecs))]

    def meta(self):
        return {"g": self.rng.randrange(16), "n": self.serial}

    def add(self, rid):
        self.where[rid] = len(self.live)
        self.live.append(rid)

    def remove(self, rid):
        at = self.where.pop(rid)
        last = self.live.pop()
        if last != rid:
            self.live[at] = last
            self.where[last] = at

    def insert(self):
        self.serial += 1
        rid = f"s{self.serial}"
        self.db.insert(rid, self.vector(), self.meta(), f"doc {self.serial}")
        self.add(rid)

    def delete(self):
        rid = self.live[self.rng.randrange(len(self.live))]
        self.db.delete(rid)
        self.remove(rid)

    def warm_up(self):
        """Inserts --live records in batches; returns the calls made."""
        calls = 0
        while len(self.live) < self.args.live:
            n = min(1000, self.args.live - len(self.live))
            ids = [f"s{self.serial + i + 1}" for i in range(n)]
            self.serial += n
            rows = self.vecs[np.arange(n) % len(self.vecs)]
            self.db.insert_batch(ids, rows, metadatas=[{"g": i % 16} for i in range(n)])
            for rid in ids:
                self.add(rid)
            calls += 1
        return calls

    def step(self):
        """One call of the steady mix: inserts and deletes in equal numbers."""
        r = self.rng.random()
        if r < 0.25:
            self.insert()
        elif r < 0.50:
            self.delete()
        elif r < 0.65:
            self.db.upsert(self.live[self.rng.randrange(len(self.live))], self.vector(), self.meta())
        elif r < 0.75:
            self.db.update_metadata(self.live[self.rng.randrange(len(self.live))], {"g": 0, "u": 1})
        elif r < 0.90:
            self.db.get(self.live[self.rng.randrange(len(self.live))])
        elif r < 0.98:
            self.db.search(self.vector(), 5)
        else:
            self.db.search(self.vector(), 5, filter={"g": self.rng.randrange(16)})


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ops", type=int, default=1_000_000, help="calls after the warm-up")
    parser.add_argument("--live", type=int, default=20_000, help="records kept alive")
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--every", type=int, default=50_000, help="calls between report lines")
    parser.add_argument("--reopen", type=int, default=100_000, help="calls between close and reopen")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", help="database directory (default: a temporary one)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        soak = Soak(args, args.dir or f"{tmp}/db")
        start = time.perf_counter()
        calls = soak.warm_up()
        rss, hwm = memory_kib()
        print(f"warm-up: {args.live} records in {calls} batches, {time.perf_counter() - start:.1f} s, "
              f"VmRSS {rss / 1024:.0f} MiB, VmHWM {hwm / 1024:.0f} MiB")
        print(f"{'calls':>9} {'calls/s':>9} {'records':>8} {'segments':>8} {'disk MiB':>8} "
              f"{'VmRSS MiB':>9} {'VmHWM MiB':>9}")
        rss_rows = []
        last = time.perf_counter()
        for done in range(1, args.ops + 1):
            soak.step()
            if done % args.reopen == 0:
                soak.db.close()
                soak.db = soak.open()
            if done % args.every == 0:
                now = time.perf_counter()
                stats = soak.db.stats()
                rss, hwm = memory_kib()
                rss_rows.append(rss)
                assert stats["vector_count"] == len(soak.live), "record count drifted"
                print(f"{done:>9} {args.every / (now - last):>9.0f} {stats['vector_count']:>8} "
                      f"{stats['segment_count']:>8} {stats['total_disk_bytes'] / 2**20:>8.1f} "
                      f"{rss / 1024:>9.0f} {hwm / 1024:>9.0f}")
                last = time.perf_counter()
        soak.db.close()
        if len(rss_rows) >= 4:
            half = len(rss_rows) // 2
            first, second = np.median(rss_rows[:half]), np.median(rss_rows[half:])
            print(f"median VmRSS: first half {first / 1024:.0f} MiB, second half {second / 1024:.0f} MiB, "
                  f"ratio {second / first:.3f}")
        print(f"total: {args.ops} calls in {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
