"""A program that calls every method of velq.Database with the types a user
would pass and uses what comes back; `mypy --strict` checks it against the
installed stubs. It also runs: scripts/test runs it after the type check."""

from __future__ import annotations

import sys
import tempfile

import numpy as np
import numpy.typing as npt

import velq


def unit_rows(n: int, d: int, seed: int) -> npt.NDArray[np.float32]:
    rows = np.random.default_rng(seed).standard_normal((n, d), dtype=np.float32)
    norms: npt.NDArray[np.float32] = np.linalg.norm(rows, axis=1, keepdims=True)
    return rows / norms


def scores(hits: list[velq.Hit]) -> list[float]:
    return [hit["score"] for hit in hits]


def main(root: str) -> None:
    d = 16
    db: velq.Database = velq.Database.open(root, dimension=d, bits=4, seed=7, metric="cosine", rerank=True,
                                           fast_mode=False, rerank_precision="f16", collection="docs",
                                           wal_flush_threshold=1000, normalize=False, quantizer_type="dense")
    rows = unit_rows(40, d, 1)
    ids = [f"id{i}" for i in range(len(rows))]
    db.insert_batch(ids, rows, metadatas=[{"n": i} for i in range(len(rows))],
                    documents=[f"text {i}" for i in range(len(rows))], mode="insert")
    db.insert("extra", rows[0].astype(np.float64), {"n": -1, "tags": ["a", "b"]}, "extra text")
    db.upsert("extra", rows[1])
    db.update("extra", rows[2], metadata={"n": -2}, document=None)
    db.update_metadata("extra", {"n": -3})
    db.update_metadata("extra", document="new text")

    record: velq.Record | None = db.get("extra")
    assert record is not None and record["document"] == "new text"
    many = db.get_many(["id1", "missing"])
    assert many[1] is None
    everything: list[str] = db.list_all()
    page: list[str] = db.list_ids(where_filter={"n": {"$gte": 10}}, limit=5, offset=1)
    values: dict[str, int] = db.list_metadata_values("n")
    matching: int = db.count({"n": {"$lt": 5}})
    assert len(everything) == len(db) == 41 and len(page) == 5 and len(values) == 41 and matching >= 5
    assert "id3" in db

    hits = db.search(rows[5], top_k=3, filter={"n": {"$ne": 4}}, _use_ann=None, ann_search_list_size=None,
                     include=["id", "score"])
    rows_hits: list[list[velq.Hit]] = db.query(rows[:4], n_results=2, where_filter=None, _use_ann=False,
                                               ann_search_list_size=64)
    assert hits[0].get("id") == "id5" and scores(rows_hits[0])[0] >= scores(rows_hits[0])[1]

    db.create_index(max_degree=16, ef_construction=64, search_list_size=32, alpha=1.2, n_refinements=2)
    db.update_index()
    stats: velq.Stats = db.stats()
    assert stats["has_index"] and stats["vector_count"] == 41

    removed: bool = db.delete("extra")
    gone: int = db.delete_batch(["id0", "id1"], where_filter={"n": 39})
    assert removed and gone == 3 and db.delete_batch() == 0
    db.flush()
    db.close()
    same: velq.Database = velq.VelqorDB.open(f"{root}/docs")
    assert len(same) == 37


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        main(sys.argv[1] if len(sys.argv) > 1 else folder)
