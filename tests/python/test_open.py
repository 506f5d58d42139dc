"""Database.open: directories, collections, reopen, option aliases and refusals,
file:// paths, and several handles on one directory."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import velq


def test_new_database_needs_a_dimension_and_creates_nothing(tmp_path):
    path = tmp_path / "new"
    with pytest.raises(ValueError, match="^dimension is required when opening a new database$"):
        velq.Database.open(str(path))
    assert not path.exists()
    path.mkdir()  # an existing empty directory stays as it was
    with pytest.raises(ValueError, match="^dimension is required when opening a new database$"):
        velq.Database.open(str(path))
    assert list(path.iterdir()) == []


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


def test_file_uri_is_one_directory_across_reopens(tmp_path, monkeypatch):
    # Run from an empty working directory: a stray relative "file:" shows up here.
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    path = tmp_path / "my db"
    uri = "file://" + str(path).replace(" ", "%20")
    db = velq.Database.open(uri, dimension=4)
    db.insert("a", np.ones(4), {"k": 1}, "doc")
    db.close()
    del db
    assert list(cwd.iterdir()) == []
    assert (path / "wal.log").is_file() and (path / "metadata.bin").is_file()
    for again in (uri, str(path)):
        db = velq.Database.open(again)
        assert db.get("a") == {"id": "a", "metadata": {"k": 1}, "document": "doc"}
        del db
    db = velq.Database.open(uri, dimension=4, collection="c")
    db.insert("b", np.ones(4))
    del db
    assert "b" in velq.Database.open(str(path / "c"))
    assert list(cwd.iterdir()) == []


def test_refused_opens_create_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as info:
        velq.Database.open("s3://bucket/db", dimension=4)
    assert str(info.value) == ("s3:// storage requires the optional `cloud` feature; rebuild velq "
                               "with that feature enabled or use a local path.")
    with pytest.raises(RuntimeError, match="^Invalid file URI path"):
        velq.Database.open("file://elsewhere/db", dimension=4)
    with pytest.raises(ValueError, match="^dimension is required"):
        velq.Database.open("new/db")
    with pytest.raises(ValueError, match="^invalid collection name"):
        velq.Database.open("other", dimension=4, collection="..")
    assert list(tmp_path.iterdir()) == []


def v(*xs):
    return np.array(xs, dtype=np.float32)


def snapshot(path):
    return {p.name: p.read_bytes() for p in sorted(path.iterdir()) if p.is_file()}


def test_two_handles_in_one_process_share_every_write(tmp_path):
    path = tmp_path / "db"
    a = velq.Database.open(str(path), dimension=4, metric="cosine", wal_flush_threshold=3)
    b = velq.Database.open(str(path))
    (tmp_path / "link").symlink_to(path)
    c = velq.Database.open(str(tmp_path / "link"), dimension=4, metric="cosine")  # another spelling
    a.insert("x", v(1, 0, 0, 0), {"from": "a"})
    b.insert("y", v(0, 1, 0, 0), {"from": "b"})
    c.insert_batch(["p", "q", "r"], np.eye(4)[1:].astype(np.float32), [{"from": "c"}] * 3)
    assert b.get("x")["metadata"] == {"from": "a"}
    assert a.get("y")["metadata"] == {"from": "b"}
    assert len(a) == len(b) == len(c) == 5
    b.delete("q")
    a.close()  # cuts the slot files to size under the other handles
    for i in range(40):
        b.insert(f"z{i}", v(1, 1, i, 0), {"from": "b"})
    a.update("y", v(0, 1, 1, 0), {"from": "a again"})
    c.close()
    a = velq.Database.open(str(path))  # close, then open again: the same engine
    assert len(a) == 44 and a.get("z39")["metadata"] == {"from": "b"}
    del a, b, c
    db = velq.Database.open(str(path))
    assert sorted(db.list_all()) == sorted(["x", "y", "p", "r"] + [f"z{i}" for i in range(40)])
    assert db.get("y")["metadata"] == {"from": "a again"}
    assert db.get("p")["metadata"] == {"from": "c"}
    assert db.search(v(1, 0, 0, 0), top_k=1)[0]["id"] == "x"


def test_a_second_handle_may_not_change_the_shared_engine(tmp_path):
    path = str(tmp_path / "db")
    db = velq.Database.open(path, dimension=4, metric="l2", wal_flush_threshold=100)
    for call, message in [
        ({"dimension": 5}, "^dimension mismatch: manifest has d=4, requested d=5$"),
        ({"dimension": 4, "bits": 3, "metric": "l2"}, "^bits mismatch: manifest has b=4, requested b=3$"),
        ({"dimension": 4}, "^metric mismatch: manifest has L2, requested Ip$"),
        ({"normalize": True}, f"^database directory '{path}' is already open in this process "
                              "with normalize=False; .* cannot open it with normalize=True$"),
        ({"wal_flush_threshold": 5000}, "with wal_flush_threshold=100; .*wal_flush_threshold=5000$"),
    ]:
        with pytest.raises(RuntimeError, match=message):
            velq.Database.open(path, **call)
    # What a reopen would ignore, or left at its default, changes nothing.
    other = velq.Database.open(path, dimension=4, metric="L2", seed=7, rerank=False,
                               rerank_precision="f32", fast_mode=True, wal_flush_threshold=100)
    other.insert("a", np.ones(4))
    assert "a" in db and db.stats()["live_vectors_bytes_estimate"] == 0


def test_handles_opened_by_many_threads_at_once_share_one_engine(tmp_path):
    path = str(tmp_path / "db")
    start = threading.Barrier(8)
    handles, errors = [None] * 8, []

    def opener(i):
        start.wait()
        try:
            handles[i] = velq.Database.open(path, dimension=4)
            handles[i].insert(f"t{i}", np.full(4, i + 1.0))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=opener, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert all(len(h) == 8 for h in handles)


HOLDER = """
import sys
import velq
db = velq.Database.open(sys.argv[1], dimension=4)
import numpy as np
db.insert("held", np.array([1, 0, 0, 0], dtype=np.float32))
print("open", flush=True)
sys.stdin.read()
"""


def test_another_process_cannot_open_until_the_holder_dies(tmp_path):
    path = tmp_path / "db"
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "open\n"
        before = snapshot(path)
        for call in ({"dimension": 4}, {}):
            with pytest.raises(RuntimeError) as info:
                velq.Database.open(str(path), **call)
            assert str(info.value) == f"database directory '{path}' is open in another process"
        # The holder's logged write was neither replayed nor flushed here.
        assert snapshot(path) == before
    finally:
        holder.kill()  # SIGKILL: the lock goes with the process
        holder.wait()
    db = velq.Database.open(str(path))
    assert db.list_all() == ["held"]
