#!/usr/bin/env python3
"""velq beside faiss, hnswlib and usearch on one prepared data set, in one run.

Every system is built, then served at one thread and at all threads, each
time in a process of its own (bench/system_run.py) so that peak memory and
thread pools are its own. Writes bench/results/<dataset>.md (tables) and
bench/results/<dataset>.png (recall@10 against queries/s).

    bench/compare.py --dataset minilm-384 [--metric l2] [--cache DIR] [--systems NAME ...]
                     [--threads N] [--reps 5] [--queries 1000] [--timed-queries 300]
                     [--insert-one 2000] [--jobs 1] [--work DIR] [--out DIR] [--report-only]
                     [--peer-builds DIR]
    bench/compare.py --smoke          # tiny in-memory data, velq and faiss, a sanity check

Prepare the data first with bench/data.py. --metric serves a set's vectors
under another metric than its own (results under <dataset>-<metric>).
--peer-builds keeps the peers' indexes with their build figures under
DIR/<dataset>/ and serves them again in later runs (velq is built afresh in
every run, its code being what changes). The raw
figures are kept in bench/results/<dataset>.json; --report-only writes the page and plot from them. Thread knobs: velq's pool is
sized by RAYON_NUM_THREADS when the module loads; faiss by omp_set_num_threads,
hnswlib by set_num_threads, usearch by the threads argument of each call.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from dataset_cache import Dataset, default_cache, save_info, save_npy, write_truth
from peer_data import make_data
from report import write_report
from systems import registry

HERE = Path(__file__).resolve().parent
SMOKE_SYSTEMS = ("velq rerank off", "velq rerank f16", "velq graph", "faiss Flat", "faiss SQ4")
INSERT_ONE_ROWS = 2_000


def run_child(phase, system, args, threads, work):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, str(HERE / "system_run.py"), phase, system, "--cache", str(args.cache),
           "--dataset", args.dataset, "--threads", str(threads), "--work", str(work),
           "--reps", str(args.reps), "--queries", str(args.queries),
           "--timed-queries", str(args.timed_queries)]
    if args.metric:
        cmd += ["--metric", args.metric]
    if phase == "build":
        cmd += ["--insert-one", str(args.insert_one)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{system} {phase} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.splitlines()[-1])


def merge(one, pooled):
    """One system's figures: recall, batched rates and Recall@1@k from the
    pooled process (every query); one-thread rates, latencies and memory from
    the one-thread process; the read ceiling at all threads."""
    points = [{"setting": a["setting"], "recall": b["recall"], "qps": a["qps"],
               "p50_us": a["p50_us"], "p99_us": a["p99_us"], "qps_all": b["qps"],
               "batch_qps": b["batch_qps"]} for a, b in zip(one["points"], pooled["points"])]
    merged = {key: one[key] for key in ("open_s", "rss_before_mb", "peak_mb")}
    merged.update(points=points, recall1_setting=pooled["recall1_setting"],
                  recall1_at=pooled["recall1_at"])
    for key in ("codes_bytes", "read_bytes_per_s"):
        if key in pooled:
            merged[key] = pooled[key]
    if "one_record_p50_us" in one:
        merged["one_record_p50_us"] = one["one_record_p50_us"]
        merged["one_record_p50_us_all"] = pooled["one_record_p50_us"]
    return merged


def build_once(system, args, folder):
    """The build's figures; a peer's from its kept build when there is one."""
    saved = folder / "build.json"
    if saved.exists():
        return json.loads(saved.read_text())
    build = run_child("build", system, args, args.threads, folder)
    saved.write_text(json.dumps(build) + "\n")
    return build


def measure(system, args, work):
    slug = system.replace(" ", "_")
    started = time.perf_counter()
    if args.peer_builds and registry()[system][0] != "velq":
        folder = args.peer_builds / args.data_name / slug
        build = build_once(system, args, folder)
    else:
        folder = work / slug
        build = run_child("build", system, args, args.threads, folder)
    one = run_child("serve", system, args, 1, folder)
    pooled = run_child("serve", system, args, args.threads, folder)
    print(f"  {system}: {time.perf_counter() - started:.0f} s", flush=True)
    return {"build": build, "serve": merge(one, pooled)}


def smoke_dataset(cache):
    """A small clustered set written to `cache` as data set 'smoke'."""
    base, queries = make_data("clustered", 3_000, 50, 128, clusters=30, spread=0.5)
    folder = cache / "smoke"
    save_npy(folder / "base.npy", base)
    save_npy(folder / "queries.npy", queries)
    save_info(folder, {"metric": "ip", "dimension": 128, "base": len(base),
                       "queries": len(queries), "source": "synthetic: smoke test mixture"})
    write_truth(folder, "ip")


def smoke_checks(results):
    """Sanity of a smoke run (no speed): exact search finds everything, the
    scan reranked from raw vectors nearly everything, and the graph walk on
    code scores what the scan on the same scores finds."""
    def recalls(name):
        return [p["recall"] for p in results[name]["serve"]["points"]]
    checks = {
        "faiss Flat recall@10 is 1.0": recalls("faiss Flat")[0] == 1.0,
        "velq rerank f16 recall@10 >= 0.9": recalls("velq rerank f16")[0] >= 0.9,
        "velq graph recall@10 within 0.05 of the scan's":
            max(recalls("velq graph")) >= recalls("velq rerank off")[0] - 0.05,
    }
    for name, ok in checks.items():
        print(f"{'ok  ' if ok else 'FAIL'} {name}")
    failed = sum(not ok for ok in checks.values())
    print(f"smoke checks: {len(checks) - failed} passed, {failed} failed")
    return failed == 0


def keep(path, figures):
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(json.dumps(figures, indent=1) + "\n")
    os.replace(tmp, path)


def load_text():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset")
    parser.add_argument("--metric", choices=("ip", "cosine", "l2"),
                        help="serve the set under this metric instead of its own")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--cache", type=Path, default=default_cache())
    parser.add_argument("--systems", nargs="+", choices=sorted(registry()))
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--queries", type=int, default=1000, help="queries used, from the first")
    parser.add_argument("--timed-queries", type=int, default=300,
                        help="queries of the one-per-call passes, from the first")
    parser.add_argument("--insert-one", type=int, default=INSERT_ONE_ROWS)
    parser.add_argument("--jobs", type=int, default=1,
                        help="systems measured at once (a busy shared machine: more share, more noise)")
    parser.add_argument("--work", type=Path, help="folder for the indexes (default: temporary)")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--peer-builds", type=Path,
                        help="keep and reuse the peers' built indexes here")
    parser.add_argument("--report-only", action="store_true",
                        help="write the tables and plot again from <out>/<dataset>.json")
    args = parser.parse_args()
    if not args.smoke and not args.dataset:
        parser.error("--dataset or --smoke")
    if args.report_only:
        data = Dataset(args.cache, args.dataset, args.metric)
        saved = json.loads((args.out / f"{data.name}.json").read_text())
        saved["context"].setdefault("load_after", "(run stopped early)")
        saved["context"].setdefault("finished", "(stopped early)")
        write_report(data, saved["results"], saved["context"], args.out)
        return

    with tempfile.TemporaryDirectory(dir=args.work) as tmp:
        work = Path(tmp)
        if args.smoke:
            args.cache, args.dataset, args.reps, args.insert_one = work / "data", "smoke", 1, 200
            args.threads = min(args.threads, 2)
            args.systems = list(SMOKE_SYSTEMS)
            smoke_dataset(args.cache)
        data = Dataset(args.cache, args.dataset, args.metric)
        data.ensure_truth()
        args.data_name = data.name
        raw = args.out / f"{data.name}.json"
        systems = args.systems or list(registry())
        context = {"load_before": load_text(), "threads": args.threads, "reps": args.reps,
                   "jobs": args.jobs,
                   "queries": args.queries, "timed_queries": args.timed_queries,
                   "insert_one": args.insert_one}
        print(f"{data.name}: {len(systems)} systems, {args.threads} threads; {context['load_before']}",
              flush=True)
        results, lock = {}, threading.Lock()

        def measure_and_keep(name):
            figures = measure(name, args, work)
            with lock:
                results[name] = figures
                if not args.smoke:  # what is measured so far survives a stopped run
                    keep(raw, {"context": context, "results": results})

        with ThreadPoolExecutor(args.jobs) as pool:
            list(pool.map(measure_and_keep, systems))
        results = {name: results[name] for name in systems}
        context["load_after"] = load_text()
        context["finished"] = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        if args.smoke:
            sys.exit(0 if smoke_checks(results) else 1)
        keep(raw, {"context": context, "results": results})
        write_report(data, results, context, args.out)


if __name__ == "__main__":
    main()
