"""The side-by-side benchmark's own arithmetic: exact answers read in parts,
data sets served under another metric, and which velq figure a target
holds against a peer's."""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from dataset_cache import TRUTH_DEPTH, Dataset, exact_truth, save_info, save_npy  # noqa: E402
from targets import cross_lines, fastest_at, target_lines  # noqa: E402


def reference_truth(base, queries, metric):
    """Every score in float64, fully sorted: best first, lower row first on ties."""
    b = base.astype(np.float64)
    scores = queries.astype(np.float64) @ b.T
    if metric == "l2":
        scores = 2 * scores - np.einsum("ij,ij->i", b, b)
    rows = np.broadcast_to(np.arange(len(base)), scores.shape)
    return np.lexsort((rows, -scores), axis=1)[:, :TRUTH_DEPTH]


@pytest.mark.parametrize("metric", ["ip", "l2"])
@pytest.mark.parametrize("rows, block", [(64, 7), (100, 30), (777, 1_000), (50_000, 1)])
def test_exact_truth_read_in_parts_matches_one_sort(metric, rows, block):
    rng = np.random.default_rng(3)
    base = rng.standard_normal((3_000, 16)).astype(np.float32)
    base[2_500] = base[11]  # equal scores on either side of a part's edge
    base[1_234] = base[11]
    queries = rng.standard_normal((30, 16)).astype(np.float32)
    queries[0] = base[11]
    got = exact_truth(base, queries, metric, rows=rows, block=block)
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, reference_truth(base, queries, metric))


def test_dataset_served_under_another_metric(tmp_path):
    rng = np.random.default_rng(5)
    folder = tmp_path / "set"
    save_npy(folder / "base.npy", rng.standard_normal((400, 8)).astype(np.float32))
    save_npy(folder / "queries.npy", rng.standard_normal((5, 8)).astype(np.float32))
    save_info(folder, {"metric": "ip", "dimension": 8, "base": 400, "queries": 5, "source": "t"})
    own, other = Dataset(tmp_path, "set"), Dataset(tmp_path, "set", "l2")
    assert (own.name, own.metric) == ("set", "ip")
    assert (other.name, other.metric) == ("set-l2", "l2")
    assert Dataset(tmp_path, "set", "ip").name == "set"
    other.ensure_truth()
    np.testing.assert_array_equal(
        other.truth(), reference_truth(other.base(), other.queries(), "l2"))
    assert not (folder / "truth-ip.npy").exists()


def run(points, build=None, **serve):
    return {"build": build or {}, "serve": {"points": points, "peak_mb": 0, "rss_before_mb": 0,
                                            **serve}}


def point(recall, qps, **more):
    return {"setting": more.pop("setting", None), "recall": recall, "qps": qps, **more}


def test_fastest_configuration_at_equal_or_better_recall():
    results = {"velq rerank codes": run([point(0.90, 900)]),
               "velq srht": run([point(0.95, 500)]),
               "velq fast": run([point(0.93, 700)]),
               "velq rerank off": run([point(0.99, 5_000)])}  # not one of the matched configurations
    assert fastest_at(results, 0.90)[0] == "velq rerank codes"
    assert fastest_at(results, 0.92)[0] == "velq fast"
    assert fastest_at(results, 0.95)[0] == "velq srht"
    assert fastest_at(results, 0.96) is None


def test_scan_target_lines_name_met_and_unmet():
    results = {"velq rerank codes": run([point(0.90, 900)]),
               "velq srht": run([point(0.95, 600)]),
               "faiss SQ4": run([point(0.91, 100)]),
               "faiss RaBitQ 4-bit": run([point(0.96, 400)])}
    lines = target_lines("minilm-384", results)
    assert any("velq srht" in line and "6.00×" in line and ": met." in line for line in lines)
    assert any("No velq configuration reaches faiss RaBitQ 4-bit" in line and "NOT met" in line
               for line in lines)


def test_fixed_cost_names_the_dimension_of_a_set_served_under_another_metric():
    results = {"velq rerank off": run([point(0.9, 100)], one_record_p50_us=12.0)}
    assert "d = 384" in target_lines("minilm-384", results)[0]
    assert ": met." in target_lines("minilm-384", results)[0]
    assert "d = 768" in target_lines("synthetic-768-l2", results)[0]
    assert "d = 784" in target_lines("fashion-mnist-784-ip", results)[0]


def test_l2_beside_ip_compares_time_on_the_same_vectors():
    def graph(qps, index_s, peak):
        return run([point(0.8, q, setting=s) for s, q in zip((10, 20), qps)],
                   build={"index_s": index_s, "index_peak_mb": peak})

    runs = {"synthetic-768": {"velq rerank codes": run([point(0.9, 260)])},
            "synthetic-768-l2": {"velq rerank codes": run([point(0.9, 200)])},
            "fashion-mnist-784": {"velq graph": graph((100, 50), 30.0, 500)},
            "fashion-mnist-784-ip": {"velq graph": graph((120, 100), 10.0, 600)}}
    lines = cross_lines(runs)
    assert "1.30× ip's time (target ≤ 1.3×): met" in lines[0]
    assert "1.20× to 2.00× ip's time (target ≤ 1.5×): NOT met" in lines[1]
    assert "3.00× (target ≤ 1.5×): NOT met" in lines[2] and "(target ≤): met" in lines[2]
