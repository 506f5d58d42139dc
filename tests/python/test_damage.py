"""Opening a database whose bookkeeping files were lost or damaged: refused,
with nothing changed, when records would be lost; otherwise opened with every
record and without the index, which a later build brings back."""
import os
from pathlib import Path

import numpy as np
import pytest

import velq

from conftest import DIM, unit_rows

FLUSHED = 40


def make_db(tmp_path, rng, logged=1, index=False, n=FLUSHED):
    """n flushed records r0.., then `logged` records l0.. left in the log only."""
    path = str(tmp_path / "db")
    rows = unit_rows(rng, n + logged)
    db = velq.Database.open(path, dimension=DIM)
    db.insert_batch([f"r{i}" for i in range(n)], rows[:n], [{"i": i} for i in range(n)])
    if index:
        db.create_index()
    db.close()
    for j in range(logged):
        db.insert(f"l{j}", rows[n + j], {"j": j})
    del db  # no close: the logged writes stay in wal.log
    return path, rows


def files_of(path):
    return {p.name: p.read_bytes() for p in Path(path).iterdir() if p.is_file()}


def expect_refused(path, name):
    before = files_of(path)
    with pytest.raises(RuntimeError, match=name.replace(".", r"\.")):
        velq.Database.open(path)
    assert files_of(path) == before


def expect_all_records(db, rows, logged=1, n=FLUSHED):
    assert len(db) == n + logged
    for i in range(n):
        assert db.get(f"r{i}")["metadata"] == {"i": i}
    for j in range(logged):
        assert db.get(f"l{j}")["metadata"] == {"j": j}
    # Each record comes back for its own vector (scores are of the codes, so
    # among the first few).
    for i in range(0, n, 7):
        assert f"r{i}" in [h["id"] for h in db.search(rows[i], 3, include=["id"])]


@pytest.mark.parametrize("logged", [0, 1, FLUSHED + 5])
@pytest.mark.parametrize("damage", ["removed", "zero-filled"])
def test_lost_id_pool_is_refused_and_nothing_changes(tmp_path, rng, logged, damage):
    # With more logged writes than flushed records, only the segments show
    # what the log alone would lose.
    path, _ = make_db(tmp_path, rng, logged=logged)
    ids = Path(path) / "live_ids.bin"
    if damage == "removed":
        ids.unlink()
    else:
        ids.write_bytes(bytes(ids.stat().st_size))
    expect_refused(path, "live_ids.bin")


@pytest.mark.parametrize("logged", [0, 1])
def test_missing_metadata_is_refused_and_nothing_changes(tmp_path, rng, logged):
    path, _ = make_db(tmp_path, rng, logged=logged)
    (Path(path) / "metadata.bin").unlink()
    expect_refused(path, "metadata.bin")


@pytest.mark.parametrize("deleted", [False, True])
def test_flush_cut_before_the_id_pool_still_opens(tmp_path, rng, deleted):
    # A first flush killed after metadata.bin and the segment were written,
    # before live_ids.bin: the log still holds every record.
    path = str(tmp_path / "db")
    rows = unit_rows(rng, FLUSHED + 1)
    db = velq.Database.open(path, dimension=DIM)
    db.insert_batch([f"r{i}" for i in range(FLUSHED)], rows[:FLUSHED], [{"i": i} for i in range(FLUSHED)])
    db.insert("l0", rows[FLUSHED], {"j": 0})
    if deleted:
        db.delete("l0")
    log = (Path(path) / "wal.log").read_bytes()
    db.close()
    del db
    (Path(path) / "wal.log").write_bytes(log)
    (Path(path) / "live_ids.bin").unlink()
    expect_all_records(velq.Database.open(path), rows, logged=0 if deleted else 1)


@pytest.mark.parametrize("content", [b"{not json", b"[3, 2]", b"[999999]"])
@pytest.mark.parametrize("name", ["graph_ids.json", "delta_ids.json"])
def test_damaged_id_list_sets_the_index_aside(tmp_path, rng, capfd, name, content):
    path, rows = make_db(tmp_path, rng, logged=0, index=True)
    (Path(path) / name).write_bytes(content)
    capfd.readouterr()
    db = velq.Database.open(path)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and name in lines[0], lines
    stats = db.stats()
    assert stats["has_index"] is False and stats["delta_size"] == stats["graph_nodes"] == 0
    expect_all_records(db, rows, logged=0)
    db.update_index()  # the graph was let go: a whole build
    assert db.stats()["has_index"] is True
    db.close()
    del db
    # The lists were written again: a reopen is quiet and keeps the index.
    db = velq.Database.open(path)
    assert capfd.readouterr().err == ""
    assert db.stats()["has_index"] is True
    expect_all_records(db, rows, logged=0)


def test_unreadable_id_list_fails_the_open(tmp_path, rng):
    path, _ = make_db(tmp_path, rng, logged=0, index=True)
    os.remove(Path(path) / "graph_ids.json")
    os.mkdir(Path(path) / "graph_ids.json")
    with pytest.raises(RuntimeError):
        velq.Database.open(path)


@pytest.mark.parametrize("kept", [0.5, 0.001])
def test_cut_graph_is_set_aside(tmp_path, rng, capfd, kept):
    n = 400
    path, rows = make_db(tmp_path, rng, logged=0, index=True, n=n)
    graph = Path(path) / "graph.bin"
    graph.write_bytes(graph.read_bytes()[: int(graph.stat().st_size * kept)])
    capfd.readouterr()
    db = velq.Database.open(path)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and "graph.bin" in lines[0], lines
    stats = db.stats()
    assert stats["has_index"] is False and stats["graph_nodes"] == 0
    queries = rows[::37]
    def answers(use_ann):
        return [[h["id"] for h in db.search(q, 5, include=["id"], _use_ann=use_ann)] for q in queries]

    assert answers(True) == answers(False)
    expect_all_records(db, rows, logged=0, n=n)
    db.create_index()
    assert db.stats()["has_index"] is True and db.stats()["graph_nodes"] == n
