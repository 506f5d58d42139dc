"""get, get_many, listings, counts, filters, stats, flush and close."""
import numpy as np
import pytest

import velq

from conftest import DIM, unit_rows


@pytest.fixture
def filled(db, rng):
    db.insert_batch([f"r{i}" for i in range(10)], unit_rows(rng, 10),
                    metadatas=[{"n": i, "tag": "even" if i % 2 == 0 else "odd", "in": {"x": i % 3}}
                               for i in range(10)],
                    documents=[f"doc {i}" for i in range(10)])
    return db


def test_get_and_get_many(filled):
    assert filled.get("missing") is None
    first, missing, again = filled.get_many(["r1", "missing", "r1"])
    assert missing is None and first == again
    assert list(first) == ["id", "metadata", "document"]
    assert first["document"] == "doc 1"


def test_filters_on_count_and_list_ids(filled):
    assert filled.count() == len(filled) == filled.stats()["vector_count"] == 10
    assert filled.count(filter={}) == 10
    assert filled.count({"tag": "even"}) == 5
    assert filled.count({"n": {"$gte": 7}}) == 3
    assert filled.count({"$or": [{"n": 1}, {"in.x": 2}]}) == 4
    assert filled.count({"n": {"$in": [1, 2, 99]}}) == 2
    assert filled.list_ids(where_filter={"tag": "odd"}, limit=2, offset=1) == ["r3", "r5"]
    assert filled.list_ids(where_filter={}) == filled.list_all()
    assert filled.list_ids(limit=0) == []
    assert filled.list_ids(limit=2**62, offset=2**62) == []
    with pytest.raises(ValueError, match="^unknown top-level filter operator '\\$nope'$"):
        filled.count({"$nope": []})


def test_listing_argument_checks(filled):
    with pytest.raises(ValueError, match="^offset must be >= 0, got -1$"):
        filled.list_ids(offset=-1, limit=-1)
    with pytest.raises(ValueError, match="^limit must be >= 0, got -2$"):
        filled.list_ids(limit=-2)


def test_list_metadata_values(filled):
    assert filled.list_metadata_values("tag") == {"even": 5, "odd": 5}
    assert filled.list_metadata_values("in.x") == {"0": 4, "1": 3, "2": 3}


STATS_KEYS = ["vector_count", "segment_count", "buffered_vectors", "dimension", "bits",
              "total_disk_bytes", "has_index", "index_nodes", "live_codes_bytes", "live_slot_count",
              "live_id_count", "live_vectors_count", "live_vectors_bytes_estimate", "metadata_entries",
              "metadata_bytes_estimate", "ann_slot_count", "graph_nodes", "delta_size",
              "ram_estimate_bytes"]


def test_stats_of_an_empty_database(db):
    stats = db.stats()
    assert list(stats) == STATS_KEYS
    assert stats["vector_count"] == 0 and stats["has_index"] is False
    assert stats["ram_estimate_bytes"] == (stats["live_vectors_bytes_estimate"] +
                                           stats["live_codes_bytes"] + stats["metadata_bytes_estimate"])


def test_flush_and_close_twice_then_keep_working(filled, tmp_path):
    assert filled.flush() is None and filled.flush() is None
    assert filled.stats()["buffered_vectors"] == 0
    assert filled.close() is None and filled.close() is None
    filled.insert("after", np.ones(DIM))
    assert filled.count() == 11
    reopened = velq.Database.open(str(tmp_path / "db"))
    assert reopened.count() == 11  # the write after close replays from the log
