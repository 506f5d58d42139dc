"""create_index and update_index: defaults, parameters, and when searches take the graph."""
import json
import os

import numpy as np
import pytest

import velq

from conftest import unit_rows


def index_state(path):
    with open(os.path.join(path, "manifest.json")) as f:
        return json.load(f)["index_state"]


@pytest.fixture
def small(tmp_path, rng):
    path = str(tmp_path / "small")
    db = velq.Database.open(path, dimension=16)
    db.insert_batch([f"r{i}" for i in range(300)], unit_rows(rng, 300, 16))
    return db, path


def test_create_index_defaults_and_one_override(small):
    db, path = small
    assert index_state(path) is None and db.stats()["has_index"] is False
    assert db.create_index() is None
    assert index_state(path) == {"max_degree": 32, "ef_construction": 200, "search_list_size": 128,
                                 "alpha": 1.2, "indexed_nodes": 300}
    db.create_index(alpha=1.5)
    assert index_state(path) == {"max_degree": 32, "ef_construction": 200, "search_list_size": 128,
                                 "alpha": 1.5, "indexed_nodes": 300}
    db.create_index(8, 20, 40, None, 1)
    assert index_state(path)["max_degree"] == 8 and index_state(path)["search_list_size"] == 40
    stats = db.stats()
    assert stats["has_index"] is True and stats["index_nodes"] == stats["graph_nodes"] == 300


def test_index_parameter_refusals_change_nothing(small):
    db, path = small
    for kwargs in ({"max_degree": -1}, {"n_refinements": -5}, {"ef_construction": 2**64}):
        with pytest.raises(OverflowError):
            db.create_index(**kwargs)
        with pytest.raises(OverflowError):
            db.update_index(**kwargs)
    with pytest.raises(TypeError, match="^argument 'alpha': "):
        db.create_index(alpha="wide")
    with pytest.raises(TypeError, match=r"^Database\.update_index\(\) got an unexpected keyword argument 'm'$"):
        db.update_index(m=4)
    assert index_state(path) is None


def test_update_index_extends_or_builds(small, rng):
    db, path = small
    db.update_index()  # no graph yet: a full build
    assert index_state(path)["indexed_nodes"] == 300
    db.insert_batch([f"n{i}" for i in range(50)], unit_rows(rng, 50, 16))
    assert db.stats()["delta_size"] == 50
    db.update_index(search_list_size=64)
    stats = db.stats()
    assert stats["delta_size"] == 0 and stats["graph_nodes"] == 350
    db.update_index()  # nothing new: nothing to do
    q = unit_rows(rng, 1, 16)[0]
    assert len(db.search(q, 400, _use_ann=True)) == 350


def test_search_after_close_still_answers(small, rng):
    db, _ = small
    db.create_index()
    db.close()
    assert len(db.search(unit_rows(rng, 1, 16)[0], 3)) == 3


# The graph-path rule. A deliberately weak graph (degree 4, search list 1)
# misses true neighbours, so the graph path and the exhaustive path give
# different answers and the automatic choice shows which one it took.
GRAPH_DIM = 16


def answers(db, queries, use_ann):
    return [[h["id"] for h in db.search(q, 10, _use_ann=use_ann, ann_search_list_size=1, include=["id"])]
            for q in queries]


def path_taken(db, queries):
    graph, exhaustive = answers(db, queries, True), answers(db, queries, False)
    assert graph != exhaustive  # the two paths are told apart
    automatic = answers(db, queries, None)
    assert automatic in (graph, exhaustive)
    assert db.query(queries, 10, ann_search_list_size=1) == [
        db.search(q, 10, ann_search_list_size=1) for q in queries]
    return "graph" if automatic == graph else "exhaustive"


def test_automatic_graph_path(tmp_path, rng):
    db = velq.Database.open(str(tmp_path / "g"), dimension=GRAPH_DIM, rerank=False)
    rows = rng.standard_normal((10_001, GRAPH_DIM)).astype(np.float32)
    ids = [f"r{i}" for i in range(10_001)]
    queries = rng.standard_normal((30, GRAPH_DIM))

    db.insert_batch(ids[:8000], rows[:8000])
    db.create_index(max_degree=4, ef_construction=8)
    assert path_taken(db, queries) == "exhaustive"  # 8,000 records
    db.insert_batch(ids[8000:9999], rows[8000:9999])
    assert path_taken(db, queries) == "exhaustive"  # 9,999 records
    db.insert("r9999", rows[9999])
    assert path_taken(db, queries) == "graph"  # 10,000 records, 2,000 since the build
    db.insert("r10000", rows[10000])
    assert path_taken(db, queries) == "exhaustive"  # 2,001 since the build: over a fifth
    db.create_index(max_degree=4, ef_construction=8)
    assert path_taken(db, queries) == "graph"  # rebuilt over all 10,001
    # Records rewritten since the build count towards the fifth as new ones do.
    db.insert_batch(ids[:2000], rows[:2000], mode="update")
    assert db.stats()["delta_size"] == 2000
    assert path_taken(db, queries) == "graph"
    db.update_metadata("r2000", {"tag": 1})  # the vector stays: not a rewrite
    assert path_taken(db, queries) == "graph"
    db.upsert("r2000", rows[2000])
    assert path_taken(db, queries) == "exhaustive"


def test_rewritten_records_are_found_through_the_graph(tmp_path, rng):
    path = str(tmp_path / "moved")
    db = velq.Database.open(path, dimension=GRAPH_DIM)
    n = 12_000
    db.insert_batch([f"r{i}" for i in range(n)], unit_rows(rng, n, GRAPH_DIM))
    db.create_index(max_degree=12, ef_construction=40)
    targets = unit_rows(rng, 6, GRAPH_DIM)
    moved = [f"r{k * 997}" for k in range(6)]
    for k in range(5):
        (db.update if k % 2 else db.upsert)(moved[k], targets[k] * 3)
    db.insert_batch(moved[5:], targets[5:] * 3, mode="upsert")

    def first_hits():
        firsts = []
        for target in targets:
            hits = [h["id"] for h in db.search(target, 10, _use_ann=True)]
            assert len(hits) == 10 and len(set(hits)) == 10
            firsts.append(hits[0])
        return firsts
    assert db.stats()["has_index"] is True
    assert first_hits() == moved
    db.close()
    db = velq.Database.open(path)
    assert first_hits() == moved
