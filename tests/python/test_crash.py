"""Crash harness: a child process runs a seeded random workload and is killed
with SIGKILL at a seeded moment; the database must then open and hold every
acknowledged call, the interrupted one either done or not (a prefix of its
steps, see crash_model.py), and its counts must agree.

Each seed runs ROUNDS rounds on one database: the next round's child starts
from a copy of the directory as the kill left it, so its open replays the
log and may itself be killed. CI runs the seeds 0..49; a long run:

    VELQ_CRASH_ITERATIONS=5000 pytest -q test_crash.py      # seeds 0..4999
    VELQ_CRASH_SEED=1234 pytest -q test_crash.py             # one seed again
"""

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import velq
from crash_model import Model, vector

ROUNDS = 2
OPS = 60
WORKLOAD = Path(__file__).with_name("crash_workload.py")
# A record is found when its own vector brings it back among this many hits:
# after a log replay the stored vector is the code's approximation.
FOUND_WITHIN = 3


def seeds():
    if "VELQ_CRASH_SEED" in os.environ:
        return [int(os.environ["VELQ_CRASH_SEED"])]
    return range(int(os.environ.get("VELQ_CRASH_ITERATIONS", "50")))


def options_for(seed):
    rng = random.Random(seed)
    return {
        "open": {"dimension": 16, "bits": 4, "seed": seed, "metric": rng.choice(["l2", "cosine"]),
                 "rerank_precision": rng.choice([None, "f16", "f32"])},
        # A small threshold makes writes flush (and compact) by themselves.
        "threshold": rng.choice([5000, 40, 7]),
    }


class Event:
    def __init__(self, op):
        self.op = op
        self.acked = False
        self.result = None


def run_child(cfg, rng, tmp):
    """Runs one round; returns the calls the child started, in order."""
    cfg_path = tmp / f"round{cfg['round']}.json"
    cfg_path.write_text(json.dumps(cfg))
    kill_after = rng.randrange(0, cfg["ops"] + 2)  # acknowledgements; past the end: no kill
    delay = rng.uniform(0, 0.004)
    proc = subprocess.Popen([sys.executable, str(WORKLOAD), str(cfg_path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=WORKLOAD.parent)
    events, acks, killed = [], 0, False
    for raw in proc.stdout:
        if not raw.endswith(b"\n"):
            break  # cut short by the kill: not acknowledged
        tag, payload = raw[:1], json.loads(raw[2:])
        if tag == b"B":
            events.append(Event(payload))
        else:
            events[-1].acked, events[-1].result = True, payload
            acks += 1
            if acks == kill_after and not killed:
                time.sleep(delay)
                proc.send_signal(signal.SIGKILL)
                killed = True
    proc.wait()
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.stdout.close()
    if not killed or proc.returncode != -signal.SIGKILL:
        assert proc.returncode in (0, -signal.SIGKILL), f"workload failed ({proc.returncode}):\n{err}"
    return events


def expected_worlds(model, events):
    """Acknowledged calls applied to `model`, checking their results; returns
    the states the interrupted call may have left (all of them when none was
    interrupted: one)."""
    for ev in events:
        result, states = model.plan(ev.op, track=not ev.acked)
        if ev.acked:
            assert ev.result == result, f"{ev.op['op']} returned {ev.result}, expected {result}"
        else:
            return states
    return [model]


def observe(db, known_ids):
    ids = db.list_all()
    count, stats = db.count(), db.stats()
    assert count == len(ids) == stats["vector_count"] == len(set(ids)), (count, len(ids), stats["vector_count"])
    got = db.get_many(sorted(known_ids | set(ids)))
    seen = {g["id"]: (g["metadata"], g["document"]) for g in got if g is not None}
    assert set(seen) == set(ids), "get_many and list_all disagree"
    for rid in seen:
        assert rid in db
    return seen


def missing_vectors(db, world):
    """Ids whose own vector does not find them."""
    ids = list(world.records)
    if not ids:
        return []
    queries = np.stack([vector(world.records[r].vk) for r in ids])
    hits = db.query(queries, n_results=FOUND_WITHIN, _use_ann=False)
    return [r for r, row in zip(ids, hits) if r not in [h["id"] for h in row]]


def metadata_mismatch(world, seen):
    if set(world.records) != set(seen):
        extra, lost = set(seen) - set(world.records), set(world.records) - set(seen)
        return f"{len(lost)} lost {sorted(lost)[:5]}, {len(extra)} came back {sorted(extra)[:5]}"
    for rid, rec in world.records.items():
        if tuple(seen[rid]) not in [tuple(m) for m in rec.allowed()]:
            return f"{rid}: holds {seen[rid]}, expected one of {rec.allowed()}"
    return None


def check_recovered(path, worlds, known_ids):
    """Opens the database as the kill left it; returns the world it matches,
    with the metadata it holds now counted as durable."""
    db = velq.Database.open(str(path))
    try:
        seen = observe(db, known_ids)
        reasons = []
        for world in reversed(worlds):  # most steps done first
            reason = metadata_mismatch(world, seen)
            if reason is None:
                lost = missing_vectors(db, world)
                if not lost:
                    for rid, rec in world.records.items():
                        rec.cur = rec.dur = (seen[rid][0], seen[rid][1])
                    world.pending = 0
                    return world
                reason = f"vectors not found for {lost[:5]}"
            reasons.append(reason)
        raise AssertionError("no outcome of the interrupted call matches:\n  " + "\n  ".join(reasons[:4]))
    finally:
        db.close()


@pytest.mark.parametrize("seed", seeds())
def test_acknowledged_calls_survive_a_kill(seed, tmp_path):
    cfg = options_for(seed)
    rng = random.Random(seed * 7919 + 1)
    model = Model(cfg["threshold"])
    known_ids = set()
    work = tmp_path / "db"
    for rnd in range(ROUNDS):
        cfg.update(dir=str(work), seed=seed, round=rnd, ops=OPS, state=model.dump())
        events = run_child(cfg, rng, tmp_path)
        for ev in events:
            known_ids.update(i for i in [ev.op.get("id")] + ev.op.get("ids", []) if i)
        interrupted = next((ev.op for ev in events if not ev.acked), None)
        # The next round starts from the directory as the kill left it.
        shutil.copytree(work, tmp_path / "next")
        try:
            worlds = expected_worlds(model.copy(), events)
            model = check_recovered(work, worlds, known_ids)
        except Exception as e:
            op = interrupted["op"] if interrupted else "none"
            raise AssertionError(f"seed {seed} round {rnd} (interrupted: {op}): {e}") from e
        shutil.rmtree(work)
        (tmp_path / "next").rename(work)
