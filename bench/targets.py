"""velq's standing targets against its peers, as sentences with the figures
of one run: each says the measured ratio and the target it is held to."""
from measures import rate_at_recall

# The exhaustive scans held to the scan and recall targets, in report order;
# those a run did not measure are left out.
SCANS = ("velq rerank off", "velq srht rerank off", "velq fast rerank off", "velq rerank codes")


def first(results, name):
    """The first (default) setting's point of a system, or None."""
    return results[name]["serve"]["points"][0] if name in results else None


def serving_mb(row):
    return row["serve"]["peak_mb"] - row["serve"]["rss_before_mb"]


def ratio(a, b):
    return f"{a / b:.2f}×" if a and b else "—"


def scan_lines(results):
    sq4 = first(results, "faiss SQ4")
    rabitq = first(results, "faiss RaBitQ 4-bit")
    lines = []
    for name in SCANS:
        ours = first(results, name)
        if not ours:
            continue
        if sq4:
            lines.append(
                f"{name}, one thread: {ours['qps']:,.0f} q/s at recall@10 {ours['recall']:.3f}; "
                f"faiss SQ4 {sq4['qps']:,.0f} q/s at {sq4['recall']:.3f}: "
                f"{ratio(ours['qps'], sq4['qps'])} (target ≥ 3× at equal or better recall).")
            lines.append(
                f"{name}, all threads: {ours['qps_all']:,.0f} q/s one query per call, "
                f"{ours['batch_qps']:,.0f} batched; faiss SQ4 {sq4['qps_all']:,.0f} per call, "
                f"{sq4['batch_qps']:,.0f} batched: {ratio(ours['qps_all'], sq4['qps_all'])} "
                f"per call, {ratio(ours['batch_qps'], sq4['batch_qps'])} batched "
                "(target ≥ 1.5×).")
        if rabitq:
            lines.append(
                f"{name} beside faiss RaBitQ 4-bit, one thread: {ratio(ours['qps'], rabitq['qps'])} "
                f"its q/s ({rabitq['qps']:,.0f}), recall@10 {ours['recall']:.3f} against "
                f"{rabitq['recall']:.3f}.")
    off = results.get("velq rerank off")
    if off and "read_bytes_per_s" in off["serve"]:
        codes = off["serve"]["codes_bytes"]
        scanned = off["serve"]["points"][0]["qps_all"] * codes
        ceiling = off["serve"]["read_bytes_per_s"]
        lines.append(
            f"velq rerank off, all threads, one query per call: scans {scanned / 1e9:.1f} GB/s of "
            f"codes; a plain read of the same {codes / 1e6:.0f} MB runs at {ceiling / 1e9:.1f} GB/s: "
            f"{scanned / ceiling:.2f} of the ceiling (target ≥ 0.5; both wall time, meaningless "
            "when the machine is loaded).")
    return lines


def graph_lines(results):
    peer = results.get("hnswlib")
    if not peer:
        return []
    theirs = rate_at_recall([(p["recall"], p["qps"]) for p in peer["serve"]["points"]], 0.95)
    lines = []
    for name in ("velq graph", "velq graph rerank f16"):
        ours = results.get(name)
        if not ours:
            continue
        mine = rate_at_recall([(p["recall"], p["qps"]) for p in ours["serve"]["points"]], 0.95)
        reached = f"{mine:,.0f}" if mine else "not reached"
        lines.append(
            f"{name}, one thread, recall@10 0.95: {reached} q/s; hnswlib {theirs or 0:,.0f}: "
            f"{ratio(mine, theirs)} (target ≥ 1×); serving memory {serving_mb(ours):,.0f} MiB "
            f"against {serving_mb(peer):,.0f} MiB: {ratio(serving_mb(ours), serving_mb(peer))} "
            "(target: a fraction).")
    return lines


def recall_lines(results):
    lines = []
    sq4 = first(results, "faiss SQ4")
    for name in SCANS:
        ours = first(results, name)
        if ours and sq4:
            lines.append(f"{name}: recall@10 {ours['recall']:.3f} against faiss SQ4's "
                         f"{sq4['recall']:.3f} (target ≥, without raw vectors).")
    f16 = first(results, "velq rerank f16")
    if f16:
        lines.append(f"velq rerank f16: recall@10 {f16['recall']:.3f} (target ≥ 0.99).")
    off = results.get("velq rerank off")
    if off and "one_record_p50_us" in off["serve"]:
        lines.append(f"Binding cost: a search on a one-record database takes "
                     f"{off['serve']['one_record_p50_us']:.1f} µs (median, one thread).")
    return lines


def target_lines(results):
    return scan_lines(results) + graph_lines(results) + recall_lines(results)
