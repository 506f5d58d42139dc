"""Several threads on one database; the interpreter lock is given up while the engine works."""
import threading
import time

import numpy as np

import velq

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


def test_searches_beside_an_inserter_and_an_index_build(db, rng):
    rows = unit_rows(rng, 6000)
    db.insert_batch([f"base{i}" for i in range(3000)], rows[:3000], metadatas=[{"g": i % 3} for i in range(3000)])
    queries = unit_rows(rng, 20)
    stop = threading.Event()

    def inserter():
        try:
            for i in range(3000, 6000, 250):
                db.insert_batch([f"w{j}" for j in range(i, i + 250)], rows[i:i + 250],
                                metadatas=[{"g": 9}] * 250)
        finally:
            stop.set()

    def builder():
        while not stop.is_set():
            db.create_index(max_degree=8, ef_construction=20)
            db.update_index(max_degree=8, ef_construction=20)

    def searcher():
        while not stop.is_set():
            for q in queries:
                assert len(db.search(q, 5)) == 5
                assert len(db.search(q, 5, _use_ann=True)) == 5
                assert all(h["metadata"]["g"] == 1 for h in db.search(q, 5, filter={"g": 1}))
            assert [len(r) for r in db.query(queries, 3, _use_ann=True)] == [3] * 20

    run_threads(inserter, builder, searcher, searcher, searcher)
    db.create_index(max_degree=8, ef_construction=20)
    assert len(db) == 6000 and db.count({"g": 9}) == 3000 and db.count({"g": 1}) == 1000
    assert db.stats()["graph_nodes"] == 6000
    assert len(db.search(queries[0], 10_000, _use_ann=False)) == 6000


def test_pooled_queries_beside_deletes_and_flushes(db, rng):
    rows = unit_rows(rng, 2000)
    db.insert_batch([f"base{i}" for i in range(1000)], rows[:1000], metadatas=[{"g": i % 4} for i in range(1000)])
    queries = unit_rows(rng, 16)
    stop = threading.Event()

    def churn():
        try:
            for i in range(1000, 2000, 100):
                db.insert_batch([f"w{j}" for j in range(i, i + 100)], rows[i:i + 100], metadatas=[{"g": 9}] * 100)
                assert db.delete_batch([f"w{j}" for j in range(i, i + 100, 2)], where_filter={"g": 8}) == 50
                db.flush()
        finally:
            stop.set()

    def querier():
        while not stop.is_set():
            assert [len(r) for r in db.query(queries, 5)] == [5] * 16
            assert db.count({"g": 1}) == 250
            assert db.get("base7")["metadata"] == {"g": 3}

    run_threads(churn, querier, querier)
    assert len(db) == 1500 and db.count({"g": 9}) == 500


def ticks_inside(call):
    """Runs call() in one thread while another counts; the ticks counted in the
    middle half of the call's span (none if the call held the interpreter lock)."""
    span = []
    stamps = []
    done = threading.Event()

    def timed():
        try:
            start = time.perf_counter()
            call()
            span.extend([start, time.perf_counter()])
        finally:
            done.set()

    def count():
        while not done.is_set():
            stamps.append(time.perf_counter())

    run_threads(timed, count)
    start, end = span
    quarter = (end - start) / 4
    return sum(1 for t in stamps if start + quarter < t < end - quarter)


def test_other_python_threads_run_during_a_long_index_build_or_query(tmp_path, rng):
    db = velq.Database.open(str(tmp_path / "long"), dimension=32)
    db.insert_batch([f"r{i}" for i in range(20_000)], unit_rows(rng, 20_000, 32))
    assert ticks_inside(db.create_index) > 0
    queries = unit_rows(rng, 4000, 32)
    assert ticks_inside(lambda: db.query(queries, _use_ann=False)) > 0
