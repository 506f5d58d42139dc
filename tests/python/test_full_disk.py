"""A full file system: a write or a flush fails with an exception, never a
signal, and once space is freed the same handle and a reopen hold every
acknowledged write. Slot files grow sparse and are written through a shared
mapping, where a store into a page the disk cannot give is a SIGBUS.

Each case runs in a child (full_disk_child.py) on a 2 MiB tmpfs, so a signal
fails the test instead of killing pytest. Mounting needs root; the cases are
skipped where it fails.
"""
import json
import subprocess
import sys
from pathlib import Path

import pytest

import velq

CHILD = Path(__file__).with_name("full_disk_child.py")


@pytest.fixture
def tmpfs(tmp_path):
    mount = tmp_path / "tmpfs"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


# codes: single inserts need a new page of live_codes.bin; vectors: a batch
# needs a new page of live_vectors.bin (f16); compaction: a flush after
# deletes needs room for its compacted copy of live_codes.bin.
@pytest.mark.parametrize("case", ["codes", "vectors", "compaction"])
def test_full_disk_raises_and_keeps_every_acknowledged_write(tmpfs, tmp_path, case):
    db_dir = tmpfs / "db"
    child = subprocess.run([sys.executable, str(CHILD), case, str(db_dir), str(tmpfs), str(tmp_path)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"child ended with {child.returncode}: {child.stderr[-2000:]}"
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["error"] is not None, "the disk never filled"
    assert "No space left on device" in report["error"]

    db = velq.Database.open(str(db_dir))
    assert len(db) == len(report["acknowledged"])
    assert all(i in db for i in report["acknowledged"])
    db.close()
