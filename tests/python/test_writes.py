"""insert, upsert, update, insert_batch, update_metadata, delete, delete_batch."""
import numpy as np
import pytest

from conftest import DIM, unit_rows


def test_single_writes_and_their_id_rules(db):
    db.insert("a", np.ones(DIM), {"v": 1}, "doc")
    with pytest.raises(RuntimeError, match="^ID 'a' already exists$"):
        db.insert("a", np.ones(DIM))
    db.upsert("a", np.ones(DIM), {"v": 2})
    assert db.get("a") == {"id": "a", "metadata": {"v": 2}, "document": None}
    with pytest.raises(RuntimeError, match="^ID 'b' does not exist$"):
        db.update("b", np.ones(DIM))
    db.update("a", np.ones(DIM), {"v": 3}, "new")
    assert db.get("a")["document"] == "new"


@pytest.mark.parametrize("name", ["insert", "upsert", "update"])
def test_wrong_length_leaves_the_lock_usable(db, name):
    with pytest.raises(ValueError, match=f"^vector dimension mismatch: expected {DIM}, got {DIM + 1}$"):
        getattr(db, name)("a", np.ones(DIM + 1))
    db.insert("b", np.ones(DIM))
    assert len(db) == 1


def test_batch_modes(db, rng):
    rows = unit_rows(rng, 3)
    with pytest.raises(ValueError, match="^Invalid mode$"):
        db.insert_batch(["a", "b", "c"], rows, mode="replace")
    db.insert_batch(["a", "b", "c"], rows, metadatas=[{"i": i} for i in range(3)])
    db.insert_batch(["a", "z"], rows[:2], metadatas=[{"i": 9}, {"i": 8}], mode="UPSERT")
    assert db.get("a")["metadata"] == {"i": 9} and len(db) == 4
    with pytest.raises(RuntimeError, match="^ID 'q' does not exist$"):
        db.insert_batch(["q"], rows[:1], mode="Update")


def test_batch_shape_checks(db):
    assert db.insert_batch([], np.zeros((0, 17), np.float32)) is None
    with pytest.raises(ValueError, match=f"^vector dimension mismatch: expected {DIM}, got 0$"):
        db.insert_batch(["a", "b", "c"], np.zeros((3, 0)))
    with pytest.raises(ValueError, match=r"^ids length \(2\) does not match number of vectors \(3\)$"):
        db.insert_batch(["a", "b"], np.zeros((3, DIM)))
    with pytest.raises(TypeError, match=r"cannot be converted to 'PyArray<T, D>'"):
        db.insert_batch(["a"], np.zeros(DIM))
    assert len(db) == 0


def test_failing_chunk_keeps_earlier_chunks(db, rng):
    db.insert("dup", np.ones(DIM))
    ids = [f"n{i}" for i in range(4500)]
    ids[2100] = "dup"
    with pytest.raises(RuntimeError, match="^ID 'dup' already exists$"):
        db.insert_batch(ids, unit_rows(rng, 4500))
    assert "n1999" in db
    assert "n4499" not in db
    assert len(db) >= 2001


def test_update_metadata_keeps_what_is_not_given(db):
    db.insert("a", np.ones(DIM), {"k": 1}, "doc")
    db.update_metadata("a", metadata={})
    assert db.get("a") == {"id": "a", "metadata": {"k": 1}, "document": "doc"}
    db.update_metadata("a", document="x")
    assert db.get("a") == {"id": "a", "metadata": {"k": 1}, "document": "x"}
    db.update_metadata("a", {"k": 2})
    assert db.get("a")["metadata"] == {"k": 2}
    with pytest.raises(RuntimeError, match="^ID 'b' does not exist$"):
        db.update_metadata("b", {"k": 1})


def test_delete_and_delete_batch(db, rng):
    db.insert_batch([f"r{i}" for i in range(6)], unit_rows(rng, 6),
                    metadatas=[{"g": i % 2} for i in range(6)])
    assert db.delete("r0") is True
    assert db.delete("r0") is False
    assert "r0" not in db and db.get("r0") is None and "r0" not in db.list_all()
    assert db.delete_batch() == 0
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        db.delete_batch("abc")
    with pytest.raises(ValueError, match="unknown filter operator"):
        db.delete_batch(where_filter={"g": {"$bogus": 1}})
    # r1 is listed and matches the filter: counted once.
    assert db.delete_batch(["r1", "missing"], where_filter={"g": 1}) == 3
    assert sorted(db.list_all()) == ["r2", "r4"]
    assert db.delete_batch(where_filter={}) == 2
    assert len(db) == 0
