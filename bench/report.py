"""Writes the side-by-side results of one data set: a Markdown page of tables
and a plot of recall@10 against queries/s (one thread, one query per call)."""
import importlib.metadata
import platform

from measures import RECALL_AT, RECALL_TARGETS, rate_at_recall
from peer_data import processor_name
from targets import target_lines

PACKAGES = ("velq", "faiss-cpu", "hnswlib", "usearch", "numpy")


def versions():
    found = []
    for name in PACKAGES:
        try:
            found.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            found.append(f"{name} (not installed)")
    return ", ".join(found) + f", Python {platform.python_version()}"


def fmt(value, digits=0):
    return "—" if value is None else f"{value:,.{digits}f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(map(str, row)) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def target_rows(results):
    rows = []
    for name, r in results.items():
        points = r["serve"]["points"]
        one = [(p["recall"], p["qps"]) for p in points]
        pooled = [(p["recall"], p["qps_all"]) for p in points]
        batched = [(p["recall"], p["batch_qps"]) for p in points]
        rows.append([name] + [fmt(rate_at_recall(points, t)) for t in RECALL_TARGETS
                              for points in (one, pooled, batched)])
    return rows


def summary_rows(results):
    """One row per system: its first setting, its best recall along the knob,
    and what it costs."""
    rows = []
    for name, r in results.items():
        points = r["serve"]["points"]
        recall = fmt(points[0]["recall"], 3)
        best = max(p["recall"] for p in points)
        if best > points[0]["recall"]:
            recall += f" (up to {best:.3f})"
        rows.append([name, recall, fmt(points[0]["qps"]),
                     fmt(rate_at_recall([(p["recall"], p["qps"]) for p in points], 0.95)),
                     fmt(r["serve"]["peak_mb"] - r["serve"]["rss_before_mb"]),
                     fmt(r["build"]["disk_bytes_per_vector"]), fmt(r["build"]["build_s"], 1)])
    return rows


def setting_rows(results):
    rows = []
    for name, r in results.items():
        for p in r["serve"]["points"]:
            setting = "—" if p["setting"] is None else p["setting"]
            rows.append([name, setting, fmt(p["recall"], 3), fmt(p["qps"]), fmt(p["qps_all"]),
                         fmt(p["batch_qps"]), fmt(p["p50_us"]), fmt(p["p99_us"])])
    return rows


def cost_rows(results):
    rows = []
    for name, r in results.items():
        b, one = r["build"], r["serve"]
        rows.append([name, fmt(b["build_s"], 1), fmt(b.get("index_s"), 1), fmt(b["build_rows_per_s"]),
                     fmt(b.get("insert_one_per_s")), fmt(b["disk_bytes_per_vector"], 1),
                     fmt(one["open_s"] * 1e3, 1), fmt(one["peak_mb"]),
                     fmt(one["peak_mb"] - one["rss_before_mb"]), fmt(b["build_peak_mb"])])
    return rows


def recall1_rows(results):
    return [[name, "—" if r["serve"]["recall1_setting"] is None else r["serve"]["recall1_setting"]]
            + [fmt(r["serve"]["recall1_at"][str(k)], 3) for k in RECALL_AT]
            for name, r in results.items()]


def plot(dataset, results, path):
    import matplotlib  # here, not above: the smoke run (no report) needs no matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(10, 5.5), dpi=80)
    colours = plt.get_cmap("tab20").colors
    for i, (name, r) in enumerate(results.items()):
        points = sorted((p["qps"], p["recall"]) for p in r["serve"]["points"])
        style = "-o" if name.startswith("velq") else "--s"
        ax.plot([q for q, _ in points], [rc for _, rc in points], style, markersize=4,
                linewidth=1.2, label=name, color=colours[i % len(colours)])
    ax.set_xscale("log")
    ax.set_xlabel("queries/s, one query per call, one thread (log scale)")
    ax.set_ylabel("recall@10")
    ax.set_title(f"{dataset.name}: {dataset.info['base']:,} vectors, metric {dataset.metric}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center left", bbox_to_anchor=(1.01, 0.5))
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write_report(dataset, results, context, out):
    out.mkdir(parents=True, exist_ok=True)
    plot(dataset, results, out / f"{dataset.name}.png")
    info = dataset.info
    text = [
        f"# {dataset.name}: velq beside peer libraries\n",
        f"Data: {info['source']}. {info['base']:,} base vectors, the first "
        f"{min(context['queries'], info['queries']):,} of {info['queries']:,} queries, "
        f"d = {info['dimension']}, metric {dataset.metric}; exact top 10 from float64 scores.\n",
        f"Machine: {processor_name()}, {context['threads']} threads, shared with other work "
        f"(load before: `{context['load_before']}`; after: `{context['load_after']}`). "
        f"Run finished {context['finished']}.\n",
        f"Versions: {versions()}.\n",
        f"Figures are medians of {context['reps']} passes. One query per call: the first "
        f"{context['timed_queries']} queries; recall and batched rates: every query. One-thread "
        "rates and latencies are process CPU time (on this shared machine a one-thread "
        "process's wall time is mostly its share of the processors); all-thread rates and "
        "build times are wall time. "
        "Each system is built once and served in a fresh process per thread count; peak memory "
        f"is that process's VmHWM; {context['jobs']} system(s) measured at once. Graphs: velq max_degree 32, ef_construction 200; hnswlib, "
        "faiss HNSW and usearch M = 16 (32 links on the bottom layer), construction beam 200. "
        "velq uses b = 4 bits per coordinate.\n",
        f"![recall@10 against queries/s]({dataset.name}.png)\n",
        "## velq against its targets\n",
        "\n".join(f"- {line}" for line in target_lines(dataset.name, results)) + "\n",
        "## Summary\n",
        table(["system", "recall@10 (first setting)", "q/s, 1 thread", "q/s at recall@10 0.95, "
               "1 thread", "serving MiB", "disk B/vector", "build s"], summary_rows(results)),
        "## Queries/s at a recall@10 target\n",
        "Best rate at or above the target along each system's knob (interpolated in log rate "
        "between settings); — where no setting reaches it. 1 thr: one query per call on one "
        "thread; all: one query per call with every thread in the pool; batch: all queries in "
        "one call.\n",
        table(["system"] + [f"{t} {mode}" for t in RECALL_TARGETS for mode in ("1 thr", "all", "batch")],
              target_rows(results)),
        "## Every setting\n",
        table(["system", "knob", "recall@10", "q/s 1 thr", "q/s all thr", "batch q/s",
               "p50 µs", "p99 µs"], setting_rows(results)),
        "Knobs: velq graph `ann_search_list_size`; velq scan with reranking the results asked "
        "for (its rerank pool is ten times that; the first 10 are kept); faiss HNSW `efSearch`; "
        "faiss refine `k_factor`; hnswlib `ef`; usearch `expansion_search`. p50/p99: one thread.\n",
        "## Build, inserts, disk and memory\n",
        table(["system", "build s", "create_index s", "batched rows/s", "one-by-one rows/s", "disk B/vector",
               "open ms", "peak MiB", "serving MiB", "build peak MiB"], cost_rows(results)),
        f"Build: every row in one batch with all threads (training included). One-by-one: "
        f"{context['insert_one']:,} rows, one call each, into a fresh index. Open: first open in "
        "a fresh process, files in the page cache. Serving MiB: peak of the one-thread serving "
        "process less its memory before the open.\n",
        "## Recall@1@k\n",
        "Share of queries whose exact nearest neighbour is among the first k answers, at the "
        "first setting that reaches recall@10 0.95 (else the last).\n",
        table(["system", "knob"] + [f"k={k}" for k in RECALL_AT], recall1_rows(results)),
        "## Database-level comparison\n",
        "Inserts with metadata, filtered search, disk and reopen against chromadb are measured "
        "by `bench/database_vs_chroma.py`.\n",
    ]
    (out / f"{dataset.name}.md").write_text("\n".join(text))
