"""Database.open: directories, collections, reopen, option aliases and refusals."""
import os

import numpy as np
import pytest

import velq


def test_new_database_needs_a_dimension_and_keeps_the_directory(tmp_path):
    path = tmp_path / "new"
    with pytest.raises(ValueError, match="^dimension is required when opening a new database$"):
        velq.Database.open(str(path))
    assert path.is_dir()


def test_reopen_without_dimension_takes_stored_parameters(tmp_path):
    path = str(tmp_path / "db")
    db = velq.Database.open(path, dimension=6, bits=3, seed=9, metric="COSINE")
    db.insert("a", np.ones(6), {"k": 1})
    db.close()
    del db
    again = velq.Database.open(path, bits=8, seed=1, metric="l2")
    stats = again.stats()
    assert (stats["dimension"], stats["bits"]) == (6, 3)
    assert again.get("a")["metadata"] == {"k": 1}


def test_reopen_with_other_dimension_is_an_engine_error(tmp_path):
    path = str(tmp_path / "db")
    velq.Database.open(path, dimension=6).close()
    with pytest.raises(RuntimeError):
        velq.Database.open(path, dimension=7)


def test_collections(tmp_path):
    db = velq.Database.open(str(tmp_path), dimension=4, collection="c1")
    db.insert("a", np.ones(4))
    db.close()
    assert (tmp_path / "c1" / "manifest.json").is_file()
    velq.Database.open(str(tmp_path) + "/", dimension=4, collection="c2")
    assert (tmp_path / "c2").is_dir()
    velq.Database.open(str(tmp_path / "plain"), dimension=4, collection="")
    assert (tmp_path / "plain" / "manifest.json").is_file()
    for bad, shown in [("a/b", '"a/b"'), ("..", '".."'), (".", '"."'), ("a\\b", '"a\\\\b"')]:
        with pytest.raises(ValueError) as info:
            velq.Database.open(str(tmp_path), dimension=4, collection=bad)
        assert str(info.value) == (f"invalid collection name {shown}: must be a single path "
                                   "component with no separators")


def test_metric_and_precision_texts(tmp_path):
    with pytest.raises(ValueError, match="^Invalid metric: Dot$"):
        velq.Database.open(str(tmp_path / "m"), dimension=4, metric="Dot")
    assert (tmp_path / "m").is_dir()
    with pytest.raises(ValueError) as info:
        velq.Database.open(str(tmp_path / "p"), dimension=4, rerank_precision="BF16")
    assert str(info.value) == ("Invalid rerank_precision: 'bf16'. Use 'f16', 'f32', or None "
                               "(dequant reranking).")
    db = velq.Database.open(str(tmp_path / "h"), dimension=4, rerank_precision="HALF")
    db.insert("a", np.ones(4))
    assert db.stats()["live_vectors_count"] == 1


def test_bits_and_dimension_checks(tmp_path):
    with pytest.raises(ValueError, match="^bits must be >= 2, got 1$"):
        velq.Database.open(str(tmp_path), dimension=4, bits=1)
    with pytest.raises(ValueError, match="^dimension must be > 0$"):
        velq.Database.open(str(tmp_path), dimension=0)
    with pytest.raises(ValueError, match="^bits must be >= 2, got 0$"):
        velq.Database.open(str(tmp_path), dimension=0, bits=0)


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_uncreatable_directory_is_os_error(tmp_path):
    tmp_path.chmod(0o500)
    try:
        with pytest.raises(OSError):
            velq.Database.open(str(tmp_path / "x" / "y"), dimension=4)
    finally:
        tmp_path.chmod(0o700)


def test_uncreatable_directory_under_a_file(tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError):
        velq.Database.open(str(tmp_path / "file" / "db"), dimension=4)
