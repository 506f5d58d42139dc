"""Child process of test_full_disk.py: writes to a database on a small tmpfs
until the file system is full, frees space, writes on and closes. It prints
one JSON line: the ids it was told were written and the text of the error
the full disk raised. The parent reopens the database and compares.

    full_disk_child.py CASE DB_DIR MOUNT_DIR SCRATCH_DIR

A signal (SIGBUS from a store into an unbacked page of a mapped slot file)
ends this process with a negative return code, which the parent reports.
"""
import errno
import json
import os
import sys
from pathlib import Path

import numpy as np

import velq

PAGE = os.sysconf("SC_PAGE_SIZE")


def rows(first, n, d):
    return np.random.default_rng(first).standard_normal((n, d)).astype(np.float32)


def fill(mount):
    """Writes a file of whole pages until the file system has no page left."""
    path = Path(mount) / "filler"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while True:
            os.write(fd, b"\xa5" * PAGE)
    except OSError as error:
        if error.errno != errno.ENOSPC:
            raise
    finally:
        os.close(fd)
    return path


def slot_bytes(db_dir, name, **options):
    """The slot width of file `name` of a database opened with `options`."""
    db = velq.Database.open(db_dir, **options)
    db.insert("probe", rows(0, 1, options["dimension"])[0])
    db.close()  # cuts the slot files to the slots in use
    return (Path(db_dir) / name).stat().st_size


def write_new(db, acknowledged, per_call, d):
    """Writes `per_call` new records (a batch when more than one)."""
    first = len(acknowledged)
    ids = [f"w{first + i}" for i in range(per_call)]
    vectors = rows(first + 1, per_call, d)
    if per_call == 1:
        db.insert(ids[0], vectors[0])
    else:
        db.insert_batch(ids, vectors)
    acknowledged += ids


def slot_file_case(db_dir, mount, target, per_call, **options):
    """Fills the first page of `target` with slots, so that the next new
    record needs a page of it that the full disk cannot give."""
    d = options["dimension"]
    per_page = PAGE // slot_bytes(db_dir, target, **options)
    db = velq.Database.open(db_dir)
    acknowledged = ["probe"]  # in slot 0
    while len(acknowledged) < per_page:
        write_new(db, acknowledged, 1, d)
    db.flush()  # the log keeps only its header page
    filler = fill(mount)
    error = None
    for _ in range(10_000):
        try:
            write_new(db, acknowledged, per_call, d)
        except (RuntimeError, OSError) as raised:
            error = raised
            break
    filler.unlink()
    write_new(db, acknowledged, per_call, d)
    db.close()
    return acknowledged, error


def compaction_workload(db_dir, d):
    db = velq.Database.open(db_dir, dimension=d)
    n = 3000
    db.insert_batch([f"c{i}" for i in range(n)], rows(0, n, d))
    db.delete_batch([f"c{i}" for i in range(0, n, 3)])
    return db, [f"c{i}" for i in range(n) if i % 3]


def compaction_case(db_dir, mount, scratch):
    """A flush after deletes, with room for the segment it writes but not
    for the compacted copy of live_codes.bin."""
    d = 128
    rehearsal = Path(scratch) / "rehearsal"
    db, _ = compaction_workload(str(rehearsal), d)
    db.flush()
    db.close()
    segment = sum(p.stat().st_size for p in rehearsal.glob("seg-*.bin"))
    compacted = (rehearsal / "live_codes.bin").stat().st_size
    room_pages = -(-segment // PAGE) + 8 + compacted // PAGE // 2

    db, acknowledged = compaction_workload(db_dir, d)
    room = Path(mount) / "room"
    room.write_bytes(b"\x5a" * (room_pages * PAGE))
    filler = fill(mount)
    room.unlink()
    error = None
    try:
        db.flush()
    except (RuntimeError, OSError) as raised:
        error = raised
    filler.unlink()
    db.insert("after", rows(1, 1, d)[0])
    db.close()
    return acknowledged + ["after"], error


def main():
    case, db_dir, mount, scratch = sys.argv[1:5]
    if case == "codes":
        acknowledged, error = slot_file_case(db_dir, mount, "live_codes.bin", 1, dimension=64)
    elif case == "vectors":
        acknowledged, error = slot_file_case(db_dir, mount, "live_vectors.bin", 2,
                                             dimension=256, rerank_precision="f16")
    else:
        acknowledged, error = compaction_case(db_dir, mount, scratch)
    print(json.dumps({"acknowledged": acknowledged,
                      "error": None if error is None else f"{type(error).__name__}: {error}"}))


if __name__ == "__main__":
    main()
