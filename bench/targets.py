#!/usr/bin/env python3
"""velq's standing targets against its peers and against itself, as
sentences with the figures of one run: each gives the measured figure or
ratio and the target it is held to, met or not.

`target_lines(name, results)` holds one data set's figures to the targets
that set alone can answer (bench/compare.py puts them on the set's page);
`cross_lines(runs)` those that compare two sets holding the same vectors
(l2 beside ip). Run as a script, it writes bench/results/targets.md from
every bench/results/*.json:

    bench/targets.py [--out DIR]
"""
import argparse
import json
import re
from pathlib import Path

from measures import rate_at_recall

HERE = Path(__file__).resolve().parent
# The exhaustive configurations a peer is matched against: the default and
# the options a user may pick instead of it.
SCANS = ("velq rerank codes", "velq srht", "velq fast", "velq rerank f16")
DEFAULT = "velq rerank codes"
# (the set under l2, the same vectors under ip)
SAME_VECTORS = (("synthetic-768-l2", "synthetic-768"), ("fashion-mnist-784", "fashion-mnist-784-ip"))
READ_RATE_SET = "synthetic-768-1m"


def first(results, name):
    """The first (default) setting's point of a system, or None."""
    return results[name]["serve"]["points"][0] if name in results else None


def curve(results, name, key="qps"):
    return [(p["recall"], p[key]) for p in results[name]["serve"]["points"]]


def serving_mb(row):
    return row["serve"]["peak_mb"] - row["serve"]["rss_before_mb"]


def ratio(a, b):
    return f"{a / b:.2f}×" if a and b else "—"


def verdict(value, target, at_most=False):
    if value is None:
        return "not measured"
    return "met" if (value <= target if at_most else value >= target) else "NOT met"


def fastest_at(results, recall):
    """(name, point) of the fastest exhaustive configuration, one thread, at
    its default setting, whose recall@10 is `recall` or better; None if none."""
    found = [(first(results, n)["qps"], n) for n in SCANS
             if n in results and first(results, n)["recall"] >= recall]
    if not found:
        return None
    name = max(found)[1]
    return name, first(results, name)


def scan_lines(results, peers):
    """Each peer scan against the fastest velq configuration at its recall."""
    lines = []
    for peer, target in peers:
        theirs = first(results, peer)
        if not theirs:
            continue
        best = fastest_at(results, theirs["recall"])
        if not best:
            lines.append(f"No velq configuration reaches {peer}'s recall@10 {theirs['recall']:.3f} "
                         f"(target ≥ {target}× its {theirs['qps']:,.0f} q/s): NOT met.")
            continue
        name, ours = best
        gain = ours["qps"] / theirs["qps"]
        lines.append(
            f"{name}, one thread: {ours['qps']:,.0f} q/s at recall@10 {ours['recall']:.3f}; "
            f"{peer} {theirs['qps']:,.0f} q/s at {theirs['recall']:.3f}: {gain:.2f}× "
            f"(target ≥ {target}× at equal or better recall): {verdict(gain, target)}.")
    return lines


def graph_f16_lines(results):
    """The graph road with f16 raw vectors: recall at the default list size,
    and its rate beside hnswlib's at that recall."""
    ours, peer = first(results, "velq graph rerank f16"), results.get("hnswlib")
    if not ours or not peer:
        return []
    theirs = rate_at_recall(curve(results, "hnswlib"), ours["recall"])
    gain = ours["qps"] / theirs if theirs else None
    return [
        f"velq graph rerank f16, default list size: recall@10 {ours['recall']:.3f} "
        f"(target ≥ 0.98): {verdict(ours['recall'], 0.98)}.",
        f"velq graph rerank f16, one thread: {ours['qps']:,.0f} q/s at recall@10 "
        f"{ours['recall']:.3f}; hnswlib at that recall {theirs or 0:,.0f} q/s: "
        f"{ratio(ours['qps'], theirs)} (target ≥ 1×): {verdict(gain, 1.0)}; serving memory "
        f"{serving_mb(results['velq graph rerank f16']):,.0f} MiB against hnswlib's "
        f"{serving_mb(peer):,.0f} MiB.",
    ]


def graph_codes_lines(results):
    """The graph road scored from codes, swept, beside faiss HNSW-SQ4 at the
    recall of each velq setting that the peer reaches too."""
    if "velq graph" not in results or "faiss HNSWSQ4" not in results:
        return []
    theirs = curve(results, "faiss HNSWSQ4")
    pairs = [(p["setting"], p["recall"], p["qps"] / rate)
             for p in results["velq graph"]["serve"]["points"]
             if (rate := rate_at_recall(theirs, p["recall"]))]
    if not pairs:
        return ["velq graph: faiss HNSWSQ4 reaches none of its recalls (target ≥ 2×): not measured."]
    low, high = min(g for *_, g in pairs), max(g for *_, g in pairs)
    top = max(pairs, key=lambda p: p[1])
    return [f"velq graph (rerank off) beside faiss HNSWSQ4 at equal recall, one thread: "
            f"{low:.2f}× to {high:.2f}× over list sizes {pairs[0][0]}-{pairs[-1][0]}; at its "
            f"highest recall {top[1]:.3f} (list size {top[0]}) {top[2]:.2f}× "
            f"(target ≥ 2×): {verdict(top[2], 2.0)}."]


def fixed_cost_lines(name, results):
    off = results.get("velq rerank off")
    if not off or "one_record_p50_us" not in off["serve"]:
        return []
    one, pooled = off["serve"]["one_record_p50_us"], off["serve"].get("one_record_p50_us_all")
    if name.startswith("synthetic-1536"):
        return [f"A search on a one-record database, d = 1536, dense: {one:,.0f} µs on one "
                f"thread (target ≤ 1,200): {verdict(one, 1200, True)}; {pooled or 0:,.0f} µs on "
                f"all threads (target ≤ 300): {verdict(pooled, 300, True)}."]
    dim = re.search(r"-(\d+)(?:-|$)", name).group(1)
    return [f"A search on a one-record database, d = {dim}, dense: {one:.1f} µs "
            f"(median, one thread; target ≤ 15 at d = 384): "
            f"{verdict(one, 15, True) if dim == '384' else 'not held at this d'}."]


def dense_srht_lines(results):
    """The default (dense) configuration beside the same with SRHT, and
    query() against single searches."""
    dense, srht = first(results, DEFAULT), first(results, "velq srht")
    if not dense or not srht:
        return []
    one, pooled = srht["qps"] / dense["qps"], srht["qps_all"] / dense["qps_all"]
    batch = dense["batch_qps"] / dense["qps_all"]
    rows = results[DEFAULT]["build"]["build_rows_per_s"]
    return [f"Default (dense) beside srht: time {one:.2f}× srht's on one thread, {pooled:.2f}× on "
            f"all threads (target ≤ 1.5×): {verdict(max(one, pooled), 1.5, True)}.",
            f"Default, query() of every query in one call: {dense['batch_qps']:,.0f} rows/s against "
            f"{dense['qps_all']:,.0f} single searches/s on all threads: {batch:.2f}× "
            f"(target ≥ 3×): {verdict(batch, 3.0)}.",
            f"Default, insert_batch on all threads: {rows:,.0f} rows/s (target ≥ 25,000): "
            f"{verdict(rows, 25_000)}."]


def graph_l2_lines(results):
    """The l2 graph road against the l2 scan at the scan's recall."""
    scan, graph = first(results, DEFAULT), results.get("velq graph")
    if not scan or not graph:
        return []
    rate = rate_at_recall(curve(results, "velq graph"), scan["recall"])
    gain = rate / scan["qps"] if rate else None
    return [f"l2 graph road at the default scan's recall@10 {scan['recall']:.3f}: "
            f"{rate or 0:,.0f} q/s against the scan's {scan['qps']:,.0f}: {ratio(rate, scan['qps'])} "
            f"(target ≥ 5×): {verdict(gain, 5.0)}."]


def read_rate_lines(results):
    off = results.get("velq rerank off")
    if not off or "read_bytes_per_s" not in off["serve"]:
        return []
    codes = off["serve"]["codes_bytes"]
    scanned = off["serve"]["points"][0]["qps_all"] * codes
    ceiling = off["serve"]["read_bytes_per_s"]
    return [f"velq rerank off, all threads, one query per call: scans {scanned / 1e9:.1f} GB/s of "
            f"{codes / 1e6:,.0f} MB of codes; a plain read of the same bytes on as many threads "
            f"runs at {ceiling / 1e9:.1f} GB/s: {scanned / ceiling:.2f} of it (target ≥ 0.5): "
            f"{verdict(scanned / ceiling, 0.5)}."]


def target_lines(name, results):
    lines = scan_lines(results, (("faiss SQ4", 3), ("faiss RaBitQ 4-bit", 1.5)))
    lines += graph_codes_lines(results)
    if name == "minilm-384":
        lines += graph_f16_lines(results)
    if name.startswith("synthetic-1536"):
        lines += dense_srht_lines(results)
    if name.startswith("fashion-mnist") and name.endswith("784"):
        lines += graph_l2_lines(results)
    if name == READ_RATE_SET:
        lines += read_rate_lines(results)
    lines += fixed_cost_lines(name, results)
    f16 = first(results, "velq rerank f16")
    if f16:
        lines.append(f"velq rerank f16: recall@10 {f16['recall']:.3f}.")
    return lines


def cross_lines(runs):
    """Targets comparing an l2 set with the same vectors under ip."""
    lines = []
    for l2_name, ip_name in SAME_VECTORS:
        if l2_name not in runs or ip_name not in runs:
            continue
        l2, ip = runs[l2_name], runs[ip_name]
        for name in (DEFAULT, "velq rerank off"):
            if name in l2 and name in ip:
                slower = first(ip, name)["qps"] / first(l2, name)["qps"]
                lines.append(f"{l2_name} beside {ip_name}, {name}, one thread: l2 takes "
                             f"{slower:.2f}× ip's time (target ≤ 1.3×): "
                             f"{verdict(slower, 1.3, True)}.")
        if "velq graph" in l2 and "velq graph" in ip:
            slower = [a["qps"] / b["qps"] for a, b in
                      zip(ip["velq graph"]["serve"]["points"], l2["velq graph"]["serve"]["points"])]
            lines.append(f"{l2_name} beside {ip_name}, velq graph, one thread, same list sizes: "
                         f"l2 takes {min(slower):.2f}× to {max(slower):.2f}× ip's time "
                         f"(target ≤ 1.5×): {verdict(max(slower), 1.5, True)}.")
            a, b = l2["velq graph"]["build"], ip["velq graph"]["build"]
            if "index_s" in a and "index_s" in b:
                lines.append(
                    f"{l2_name} beside {ip_name}, create_index on all threads: {a['index_s']:.1f} s "
                    f"against {b['index_s']:.1f} s: {a['index_s'] / b['index_s']:.2f}× (target ≤ "
                    f"1.5×): {verdict(a['index_s'] / b['index_s'], 1.5, True)}; peak "
                    f"{a['index_peak_mb']:,.0f} MiB against {b['index_peak_mb']:,.0f} MiB "
                    f"(target ≤): {verdict(a['index_peak_mb'], b['index_peak_mb'], True)}.")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=HERE / "results")
    args = parser.parse_args()
    runs = {path.stem: json.loads(path.read_text())["results"]
            for path in sorted(args.out.glob("*.json"))}
    text = ["# velq against its targets\n",
            "One section per data set (its page has the figures), then the targets that compare "
            "two sets holding the same vectors.\n"]
    for name, results in runs.items():
        text += [f"## {name}\n", "\n".join(f"- {line}" for line in target_lines(name, results)) + "\n"]
    text += ["## l2 beside ip on the same vectors\n",
             "\n".join(f"- {line}" for line in cross_lines(runs)) + "\n"]
    (args.out / "targets.md").write_text("\n".join(text))


if __name__ == "__main__":
    main()
