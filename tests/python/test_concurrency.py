"""Several threads on one database; the interpreter lock is given up while the engine works."""
import threading

import numpy as np

from conftest import DIM, unit_rows


def run_threads(*targets):
    errors = []

    def wrap(target):
        def run():
            try:
                target()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_readers_and_writers_together_end_with_exact_counts(db, rng):
    rows = unit_rows(rng, 3000)
    db.insert_batch([f"base{i}" for i in range(1000)], rows[:1000], metadatas=[{"g": i % 4} for i in range(1000)])

    def writer():
        for i in range(1000, 3000, 100):
            db.insert_batch([f"w{j}" for j in range(i, i + 100)], rows[i:i + 100])

    def single_writer():
        for i in range(200):
            db.upsert(f"s{i}", rows[i], {"g": 9})
        for i in range(0, 200, 2):
            db.delete(f"s{i}")

    def reader():
        for _ in range(200):
            assert db.count({"g": 1}) == 250
            assert db.get("base3")["metadata"] == {"g": 3}
            assert len(db) >= 1000

    run_threads(writer, single_writer, reader, reader, reader)
    assert len(db) == 1000 + 2000 + 100
    assert db.count({"g": 9}) == 100


def test_other_python_threads_run_during_a_long_batch(db, rng):
    rows = unit_rows(rng, 40_000)
    ids = [f"r{i}" for i in range(40_000)]
    done = threading.Event()
    ticks = []

    def batch():
        try:
            db.insert_batch(ids, rows)
        finally:
            done.set()

    def lengths():
        while not done.is_set():
            len(db)
            db.stats()

    def pure_python():
        while not done.is_set():
            ticks.append(sum(range(100)))

    run_threads(batch, lengths, pure_python)
    assert len(db) == 40_000
    assert len(ticks) > 10  # the counting thread kept running
