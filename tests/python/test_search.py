"""search and query: argument checks, include lists, filters, caps, query against search."""
import numpy as np
import pytest

from conftest import DIM, unit_rows

import velq


@pytest.fixture
def filled(tmp_path, rng):
    """200 records with exact (f32) reranking: 50 of them tagged "a"."""
    db = velq.Database.open(str(tmp_path / "exact"), dimension=DIM, rerank_precision="f32")
    rows = unit_rows(rng, 200)
    db.insert_batch([f"r{i}" for i in range(200)], rows,
                    metadatas=[{"tag": "abcd"[i % 4], "n": i, "in": {"x": i % 5}} for i in range(200)],
                    documents=[f"doc {i}" for i in range(200)])
    return db, rows


def test_top_k_and_n_results_must_be_positive(filled):
    db, _ = filled
    for bad in (0, -3):
        with pytest.raises(ValueError, match=f"^top_k must be a positive integer, got {bad}$"):
            db.search(np.ones(DIM), bad)
        with pytest.raises(ValueError, match=f"^n_results must be a positive integer, got {bad}$"):
            db.query(np.ones((1, DIM)), n_results=bad)
    with pytest.raises(TypeError, match="missing required argument 'top_k'"):
        db.search(np.ones(DIM))


def test_query_shape_and_type_refusals(filled):
    db, _ = filled
    with pytest.raises(TypeError, match=r"^argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'$"):
        db.search([1.0] * DIM, 1)
    with pytest.raises(TypeError, match="PyArray"):
        db.search(np.ones((1, DIM)), 1)
    with pytest.raises(TypeError, match="PyArray"):
        db.search(np.ones(DIM, dtype=np.int64), 1)
    with pytest.raises(ValueError, match=rf"^query dimension mismatch: expected {DIM}, got {DIM + 1}$"):
        db.search(np.ones(DIM + 1), 1)
    with pytest.raises(ValueError, match=rf"^query dimension mismatch: expected {DIM}, got 0$"):
        db.search(np.ones(0), 1)
    two_d = r"^query_embeddings must be a 2-D numpy array \(float32 or float64\)$"
    for bad in ([[1.0] * DIM], np.ones(DIM), np.ones((1, DIM), dtype=np.int32), np.ones((1, 1, DIM))):
        with pytest.raises(ValueError, match=two_d):
            db.query(bad)
    with pytest.raises(ValueError, match=rf"^query dimension mismatch: expected {DIM}, got {DIM + 1} \(row 0\)$"):
        db.query(np.ones((2, DIM + 1)))
    assert db.query(np.ones((0, DIM), dtype=np.float32)) == []


def test_non_finite_queries_are_refused(filled):
    db, _ = filled
    for bad_value in (np.nan, np.inf, -np.inf, 1e39):  # 1e39 is infinite as a float32
        v = np.ones(DIM)
        v[2] = bad_value
        with pytest.raises(ValueError, match=r"^query vector contains non-finite values \(NaN or Inf\)$"):
            db.search(v, 3)
        m = np.ones((4, DIM))
        m[2, 5] = bad_value
        m[3, 0] = bad_value
        with pytest.raises(ValueError, match=r"^query_embeddings row 2 contains non-finite values \(NaN or Inf\)$"):
            db.query(m)
    db.search(np.full(DIM, 3.0e38), 1)  # large but finite as a float32


def test_include_lists(filled):
    db, rows = filled
    full = db.search(rows[0], 3)
    assert [list(hit) for hit in full] == [["id", "score", "metadata", "document"]] * 3
    assert full[0]["id"] == "r0" and full[0]["document"] == "doc 0"
    assert full[0]["metadata"] == {"tag": "a", "n": 0, "in": {"x": 0}}
    short = db.search(rows[0], 3, include=["Score", "ID", "score"])
    assert short == [{"id": h["id"], "score": h["score"]} for h in full]
    assert [list(hit) for hit in short] == [["id", "score"]] * 3
    assert db.search(rows[0], 2, include=[]) == [{}, {}]
    assert db.search(rows[0], 1, include=("document",)) == [{"document": "doc 0"}]
    with pytest.raises(ValueError, match=r'^invalid include field "vector"; valid values are: id, score, metadata, document$'):
        db.search(rows[0], 1, include=["id", "Vector"])
    with pytest.raises(TypeError, match=r"^argument 'include': Can't extract `str` to `Vec`$"):
        db.search(rows[0], 1, include="id")


def test_results_are_best_first_and_exact_with_raw_vectors(filled, rng):
    db, rows = filled
    q = rng.standard_normal(DIM)
    hits = db.search(q, 5, filter={"tag": "a"})
    # The pool (ten per result) covers all 50 candidates, so the answer is exact.
    tagged = np.arange(0, 200, 4)
    scores = rows[tagged].astype(np.float64) @ q
    best = tagged[np.argsort(-scores)[:5]]
    assert [h["id"] for h in hits] == [f"r{i}" for i in best]
    assert np.allclose([h["score"] for h in hits], np.sort(scores)[::-1][:5], atol=1e-5)
    assert all(a["score"] >= b["score"] for a, b in zip(hits, hits[1:]))


def test_filters_through_search(filled, rng):
    db, _ = filled
    q = rng.standard_normal(DIM)
    for flt, n in [({"tag": "b"}, 50), ({"n": {"$lt": 10}}, 10), ({"in.x": 3}, 40),
                   ({"$or": [{"n": 1}, {"n": {"$in": [2, 3]}}]}, 3), ({"tag": "zzz"}, 0)]:
        hits = db.search(q, 1000, filter=flt)
        assert len(hits) == n == db.count(flt)
        assert sorted(h["id"] for h in hits) == sorted(db.list_ids(where_filter=flt))
    assert db.search(q, 7, filter={}) == db.search(q, 7)
    assert db.query(q.reshape(1, DIM), 7, where_filter={}) == [db.search(q, 7)]
    with pytest.raises(ValueError, match="unknown filter operator"):
        db.search(q, 1, filter={"n": {"$nope": 1}})
    with pytest.raises(ValueError, match="unknown filter operator"):
        db.query(q.reshape(1, DIM), where_filter={"n": {"$nope": 1}})
    with pytest.raises(TypeError, match=r"^argument 'filter': 'list' object cannot be converted to 'PyDict'$"):
        db.search(q, 1, filter=[])


def test_huge_counts_allocate_by_what_exists(filled):
    db, rows = filled
    assert len(db.search(rows[1], 2**62)) == 200
    assert len(db.search(rows[1], 2**62, _use_ann=True, ann_search_list_size=2**64 - 1)) == 200
    assert [len(r) for r in db.query(rows[:3], n_results=2**62)] == [200] * 3
    with pytest.raises(OverflowError):
        db.search(rows[1], 2**63)
    with pytest.raises(OverflowError):
        db.search(rows[1], 1, ann_search_list_size=-1)


def test_empty_database_answers_nothing(db):
    assert db.search(np.ones(DIM), 5) == []
    assert db.query(np.ones((3, DIM)), 5) == [[], [], []]


def test_query_rows_equal_searches(filled, rng):
    db, _ = filled
    queries = rng.standard_normal((40, DIM))
    queries[5] = 0.0
    for kwargs in ({}, {"where_filter": {"tag": "c"}}, {"_use_ann": True}):
        expected = [db.search(q, 4, filter=kwargs.get("where_filter"), _use_ann=kwargs.get("_use_ann"))
                    for q in queries]
        assert db.query(queries, 4, **kwargs) == expected
    assert [len(r) for r in db.query(queries.astype(np.float32))] == [10] * 40
    assert db.query(queries[::-2]) == db.query(np.ascontiguousarray(queries[::-2]))



@pytest.mark.parametrize("quantizer", ["dense", "srht"])
def test_query_rows_past_one_preparation_batch_equal_searches(tmp_path, rng, quantizer):
    """query() prepares its rows in batches (dense products split over the
    pool at this size): every row, across batch edges, gets its own search's
    answer, scores bit for bit, normalised or not."""
    dim = 800
    for normalize in (False, True):
        db = velq.Database.open(str(tmp_path / f"{quantizer}-{normalize}"), dimension=dim,
                                quantizer_type=quantizer, normalize=normalize)
        db.insert_batch([f"r{i}" for i in range(60)], rng.standard_normal((60, dim)))
        queries = 2.0 * rng.standard_normal((600, dim))
        assert db.query(queries, 3) == [db.search(q, 3) for q in queries]
        db.close()
