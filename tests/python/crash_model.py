"""What a database must hold after a crash, as a model of acknowledged calls.

Shared by the crash harness (test_crash.py, the parent that kills and checks)
and its workload (crash_workload.py, the child that is killed).

A record is (vector key, current metadata, durable metadata). Full writes go
through the write-ahead log, so their vector, properties and document survive
the moment the call returns. Metadata-only updates are not logged: they reach
disk when the metadata store is flushed, which happens at every flush (also
with nothing buffered), at close, at every index build (it flushes first) and
at the automatic flush when the write buffer reaches its threshold. Until then
a crash may hand back the durable metadata instead of the current one.

Every operation is split into the atomic steps a crash can fall between: a
batch is one log record per row, a delete_batch one log record per deleted id,
so a crash inside either leaves a prefix of it in place.
"""

import copy

import numpy as np

DIM = 16


def vector(key):
    """The vector a write with this key stores (float32, exact on disk)."""
    return np.random.default_rng(key).standard_normal(DIM).astype(np.float32)


def matches(props, flt):
    """The subset of the filter language the workload uses: equality, $in, $lt."""
    for field, cond in flt.items():
        if field not in props:
            return False
        value = props[field]
        if isinstance(cond, dict):
            for op, arg in cond.items():
                if op == "$in" and value not in arg:
                    return False
                if op == "$lt" and not value < arg:
                    return False
        elif value != cond:
            return False
    return True


class _States:
    def __init__(self, model, track):
        self.model, self.track = model, track
        self.states = [model.copy()] if track else []

    def snap(self):
        if self.track:
            self.states.append(self.model.copy())


class Record:
    __slots__ = ("vk", "cur", "dur")

    def __init__(self, vk, meta):
        self.vk = vk
        self.cur = meta  # (properties, document) the database holds now
        self.dur = meta  # what it holds after a crash if no flush comes first

    def allowed(self):
        return [self.cur] if self.cur == self.dur else [self.cur, self.dur]


class Model:
    """Live records in slot order (a dict keeps insertion order, and a new
    record takes the next slot; compaction keeps the relative order)."""

    def __init__(self, threshold):
        self.records = {}
        self.pending = 0  # log entries since the last flush
        self.threshold = threshold

    def copy(self):
        return copy.deepcopy(self)

    # -- atomic steps ------------------------------------------------------

    def _write(self, rid, vk, props, doc):
        meta = (props or {}, doc)
        if rid in self.records:
            rec = self.records[rid]
            rec.vk, rec.cur, rec.dur = vk, meta, meta
        else:
            self.records[rid] = Record(vk, meta)
        self.pending += 1

    def _delete(self, rid):
        del self.records[rid]
        self.pending += 1

    def _durable(self):
        for rec in self.records.values():
            rec.dur = rec.cur
        self.pending = 0

    # -- operations --------------------------------------------------------

    def plan(self, op, track=True):
        """Applies `op` step by step; returns (expected result, states after
        each prefix of steps, the first being the state before the call).
        Without `track` no states are kept (the workload's own bookkeeping)."""
        states = _States(self, track)
        result = None
        kind = op["op"]
        if kind in ("insert", "upsert", "update"):
            self._write(op["id"], op["vk"], op["meta"], op["doc"])
            states.snap()
            if self.pending >= self.threshold:
                self._durable()
                states.snap()
        elif kind == "insert_batch":
            metas = op["metas"] or [None] * len(op["ids"])
            docs = op["docs"] or [None] * len(op["ids"])
            for rid, vk, props, doc in zip(op["ids"], op["vks"], metas, docs):
                self._write(rid, vk, props, doc)
                states.snap()
            if self.pending >= self.threshold:
                self._durable()
                states.snap()
        elif kind == "update_metadata":
            rec = self.records[op["id"]]
            props, doc = rec.cur
            rec.cur = (op["meta"] or props, doc if op["doc"] is None else op["doc"])
            states.snap()
        elif kind == "delete":
            result = op["id"] in self.records
            if result:
                self._delete(op["id"])
                states.snap()
                if self.pending >= self.threshold:
                    self._durable()
                    states.snap()
        elif kind == "delete_batch":
            result = self._delete_ids(op["ids"], states)
            if op["filter"] is not None:
                hits = [rid for rid, rec in self.records.items() if matches(rec.cur[0], op["filter"])]
                result += self._delete_ids(hits, states)
        elif kind in ("flush", "create_index", "reopen", "open"):
            self._durable()
            states.snap()
        else:
            raise ValueError(kind)
        return result, states.states

    def _delete_ids(self, ids, states):
        deleted = 0
        for rid in ids:
            if rid in self.records:
                self._delete(rid)
                states.snap()
                deleted += 1
        if deleted and self.pending >= self.threshold:
            self._durable()
            states.snap()
        return deleted

    # -- hand-over between rounds ------------------------------------------

    def dump(self):
        return [[rid, rec.vk, rec.cur[0], rec.cur[1]] for rid, rec in self.records.items()]

    @classmethod
    def load(cls, rows, threshold):
        model = cls(threshold)
        for rid, vk, props, doc in rows:
            model.records[rid] = Record(vk, (props, doc))
        return model
