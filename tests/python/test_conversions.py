"""Python values to stored metadata and back; NumPy intake."""
import numpy as np
import pytest

from conftest import DIM


def stored(db, metadata):
    db.upsert("r", np.ones(DIM), metadata)
    return db.get("r")["metadata"]


def test_scalar_metadata_values(db):
    got = stored(db, {"t": True, "f": 1.0, "big": 2**70, "nan": float("nan"), "inf": float("inf"),
                      "tuple": (1, 2), "set": {1}, "bytes": b"x", "none": None, "neg": -5,
                      "u": 2**63 - 1, "np_int": np.int64(3), "np_float": np.float32(0.5)})
    assert got["t"] is True
    assert got["f"] == 1.0 and isinstance(got["f"], float)
    assert got["big"] == float(2**70) and isinstance(got["big"], float)
    assert got["nan"] is None and got["inf"] is None
    assert got["tuple"] is None and got["set"] is None and got["bytes"] is None and got["none"] is None
    assert got["neg"] == -5 and isinstance(got["neg"], int)
    assert got["u"] == 2**63 - 1 and isinstance(got["u"], int)
    assert got["np_int"] == 3 and isinstance(got["np_int"], int)
    assert got["np_float"] == 0.5


def test_nested_values_round_trip_with_sorted_keys(db):
    value = {"b": [1, "two", [3.5, None]], "a": {"z": 1, "y": {"x": [True]}}}
    got = stored(db, {"nested": value})
    assert got["nested"] == value
    assert list(got["nested"]) == ["a", "b"]
    assert list(got["nested"]["a"]) == ["y", "z"]


def test_non_str_key_is_refused(db):
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        db.insert("a", np.ones(DIM), {"outer": {1: "x"}})
    assert len(db) == 0


def test_depth_limit_and_deep_nesting(db):
    deep_ok = 1
    for _ in range(126):
        deep_ok = [deep_ok]
    assert stored(db, {"k": deep_ok})["k"] == deep_ok
    too_deep = [deep_ok]
    with pytest.raises(ValueError, match="nested too deeply"):
        db.insert("b", np.ones(DIM), {"k": too_deep})
    very_deep = []
    for _ in range(100_000):
        very_deep = [very_deep]
    with pytest.raises((ValueError, RecursionError)):
        db.insert("c", np.ones(DIM), {"k": very_deep})
    with pytest.raises((ValueError, RecursionError)):
        db.count({"k": very_deep})
    assert len(db) == 1


def test_dict_changed_while_read_is_a_panic(db):
    meta = {}

    class Grows:
        def __float__(self):
            meta["extra"] = 1
            return 1.0

    meta["a"] = Grows()
    with pytest.raises(BaseException) as info:
        db.insert("a", np.ones(DIM), meta)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert "dictionary changed size during iteration" in str(info.value)
    db.insert("a", np.ones(DIM))  # a panic outside the lock leaves it usable


def test_float32_and_float64_give_the_same_record(db, rng):
    v = rng.standard_normal(DIM).astype(np.float32)
    db.insert("f32", v)
    db.insert("f64", v.astype(np.float64))
    assert db.get("f32")["metadata"] == db.get("f64")["metadata"]


@pytest.mark.parametrize("bad", [np.ones(DIM, np.int64), np.ones((1, DIM)), [1.0] * DIM,
                                 np.ones(DIM, np.float16), np.ones(DIM, ">f4")])
def test_vector_intake_refusals(db, bad):
    with pytest.raises(TypeError, match=r"^argument 'vector': '\w+' object cannot be converted to 'PyArray<T, D>'$"):
        db.insert("a", bad)


def test_strided_and_reversed_arrays_read_in_index_order(tmp_path):
    import velq
    db = velq.Database.open(str(tmp_path), dimension=4, rerank_precision="f32")
    base = np.arange(16, dtype=np.float64).reshape(4, 4)
    db.insert_batch(["s0", "s1"], base[::2, ::-1])  # both axes strided, one reversed
    db.insert("v", base[:, 1])  # a column: stride of a whole row
    assert db.count() == 3
    # Rows are read chunk by chunk: a strided float64 view spanning several
    # chunks stores what its contiguous float32 copy stores.
    rows = np.random.default_rng(5).standard_normal((2 * 2100, 4))
    view = rows[::2]
    ids = [f"r{i}" for i in range(len(view))]
    strided = velq.Database.open(str(tmp_path / "strided"), dimension=4, rerank_precision="f32")
    strided.insert_batch(ids, view)
    twin = velq.Database.open(str(tmp_path / "twin"), dimension=4, rerank_precision="f32")
    twin.insert_batch(ids, np.ascontiguousarray(view, dtype=np.float32))
    for q in view[[0, 2000, 2099]]:
        assert strided.search(q, 5) == twin.search(q, 5)
    # Refused arrays change nothing; zero-sized arrays are accepted shapes.
    with pytest.raises(ValueError, match="expected 4, got 0"):
        db.insert("z", np.zeros(0))
    assert db.count() == 3


def test_non_finite_and_float32_overflow_refused_everywhere(db):
    for bad_value in [np.nan, np.inf, -np.inf, 1e39]:
        v = np.ones(DIM)
        v[3] = bad_value
        for method in (db.insert, db.upsert, db.update):
            with pytest.raises(ValueError, match=r"^vector contains non-finite values \(NaN or Inf\)$"):
                method("a", v)
        with pytest.raises(ValueError, match=r"^vectors contain non-finite values \(NaN or Inf\)$"):
            db.insert_batch(["a"], v.reshape(1, DIM))
    assert len(db) == 0


def test_f16_raw_vectors_refuse_values_that_would_be_infinite(tmp_path, rng):
    import velq
    path = str(tmp_path / "half")
    db = velq.Database.open(path, dimension=DIM, rerank_precision="f16")
    db.insert("kept", np.ones(DIM))
    big = np.ones(DIM)
    big[1] = -1e5
    message = r"^vectors? contains? values too large for f16 raw vectors \(magnitude 65520 or more\)$"
    for method in (db.insert, db.upsert, db.update):
        with pytest.raises(ValueError, match=message):
            method("kept" if method == db.update else "big", big)
    # One bad row past the first few thousand refuses the batch before any row is written.
    rows = rng.standard_normal((4500, DIM)).astype(np.float32)
    rows[4321, 0] = 65520.0
    with pytest.raises(ValueError, match=message):
        db.insert_batch([f"r{i}" for i in range(4500)], rows)
    assert len(db) == 1
    db.close()
    db = velq.Database.open(path)
    assert len(db) == 1 and db.get("big") is None
    assert db.search(np.ones(DIM), 1)[0]["score"] == pytest.approx(DIM, rel=1e-3)
    # The largest finite half is kept as it is.
    top = np.ones(DIM)
    top[1] = 65504.0
    db.upsert("top", top)
    assert db.search(top, 1)[0]["id"] == "top"
    assert np.isfinite(db.search(top, 2)[0]["score"])
    # f32 raw vectors take the value f16 refuses.
    wide = velq.Database.open(str(tmp_path / "wide"), dimension=DIM, rerank_precision="f32")
    wide.insert("big", big)
    wide.insert_batch(["b"], big.reshape(1, DIM))
    assert len(wide) == 2


def test_row_converters(db, rng):
    rows = rng.standard_normal((2, DIM))
    with pytest.raises(ValueError, match="^metadatas length 1 does not match ids/vectors length 2$"):
        db.insert_batch(["a", "b"], rows, metadatas=[{}])
    with pytest.raises(ValueError, match="^documents length 3 does not match ids/vectors length 2$"):
        db.insert_batch(["a", "b"], rows, documents=["x", "y", "z"])
    with pytest.raises(TypeError, match="'NoneType' object cannot be converted to 'PyDict'"):
        db.insert_batch(["a", "b"], rows, metadatas=[{}, None])
    with pytest.raises(TypeError):
        db.insert_batch(["a", "b"], rows, documents=["x", 5])
    assert len(db) == 0
    db.insert_batch(["a", "b"], rows, metadatas=({"k": 1}, {"k": 2}), documents=("x", "y"))
    assert db.get("a") == {"id": "a", "metadata": {}, "document": None}
    db.insert_batch(["c", "d"], rows, metadatas=[{"k": 1}, {"k": 2}], documents=["x", None])
    assert db.get("c") == {"id": "c", "metadata": {"k": 1}, "document": "x"}
    assert db.get("d")["document"] is None
