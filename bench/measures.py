"""Measures shared by the side-by-side benchmark: recall against exact
answers, rates at a recall target, the process's memory, and the speed of a
plain read of the bytes a scan touches."""
import statistics
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

K = 10
RECALL_TARGETS = (0.90, 0.95, 0.99)
RECALL_AT = (1, 2, 4, 8, 16, 32, 64)


def recall_at_10(found, truth):
    """Mean share of the exact 10 nearest that the answer's first 10 hold."""
    return float(np.mean([len(set(map(int, f[:K])) & set(t[:K])) / K
                          for f, t in zip(found, truth)]))


def recall_1_at(found, truth, k):
    """Share of queries whose exact nearest row is among the answer's first k."""
    return float(np.mean([int(t[0]) in set(map(int, f[:k])) for f, t in zip(found, truth)]))


def rate_at_recall(points, target):
    """Best rate at recall `target` or above from (recall, rate) points taken
    along one knob: a measured point, or a crossing interpolated linearly in
    (recall, log rate) between consecutive points; None when none reaches it."""
    best = [q for r, q in points if r >= target]
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if min(r0, r1) < target <= max(r0, r1):
            t = (target - r0) / (r1 - r0)
            best.append(float(np.exp(np.log(q0) + t * (np.log(q1) - np.log(q0)))))
    return max(best, default=None)


def memory_mb(field):
    """A VmHWM / VmRSS line of this process's status, in MiB."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    return float("nan")


def reset_peak():
    """Starts the peak resident set afresh (Linux), so that the next VmHWM
    measures what follows alone, not what came before."""
    Path("/proc/self/clear_refs").write_text("5")


def timed(call, clock=time.perf_counter):
    start = clock()
    result = call()
    return clock() - start, result


def per_call_figures(search, queries, reps, clock=time.perf_counter):
    """Queries/s (median over reps of whole passes), p50 and p99 latency in
    microseconds over every call of every pass, and the last pass's answers.
    With `clock` time.process_time the figures are the process's CPU time:
    on a shared machine a one-thread process's wall time is mostly the
    scheduler's share, its CPU time what the work costs."""
    rates, latencies = [], []
    for _ in range(reps):
        answers, total = [], 0.0
        for q in queries:
            seconds, found = timed(lambda: search(q), clock)
            latencies.append(seconds)
            answers.append(found)
            total += seconds
        rates.append(len(queries) / total)
    p50, p99 = np.percentile(latencies, [50, 99]) * 1e6
    return statistics.median(rates), float(p50), float(p99), answers


def batch_rate(search_batch, queries, reps):
    times = [timed(lambda: search_batch(queries))[0] for _ in range(reps)]
    return len(queries) / statistics.median(times)


def read_rate(array, threads, reps):
    """Bytes/s of summing `array`'s bytes as u64 words, split over `threads`
    (NumPy drops the interpreter lock inside the sum): the memory-read
    ceiling of a scan over the same bytes."""
    words = np.frombuffer(array, dtype=np.uint64, count=array.nbytes // 8)
    parts = np.array_split(words, threads)
    with ThreadPoolExecutor(threads) as pool:
        seconds = statistics.median(
            timed(lambda: list(pool.map(np.sum, parts)))[0] for _ in range(reps))
    return words.nbytes / seconds
