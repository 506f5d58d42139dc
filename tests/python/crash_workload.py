"""The process the crash harness kills: a seeded random workload of write,
delete, flush, index and reopen calls against one database directory.

Usage: python crash_workload.py CONFIG_JSON

CONFIG_JSON holds: dir, seed, round, ops, threshold, open (options for a new
database), state (the records the database holds at the start, as
Model.dump() gives them).

Protocol on standard output, one line per event, each written with one
system call: "B <op>" before a call starts, "A <result>" after it returned.
A "B" without its "A" is the call a kill interrupted.
"""

import json
import os
import random
import sys

import numpy as np

import velq
from crash_model import DIM, Model, vector

GROUPS = 6


def report(tag, payload):
    os.write(1, f"{tag} {json.dumps(payload)}\n".encode())


class Workload:
    def __init__(self, cfg):
        self.cfg = cfg
        self.rng = random.Random(f"{cfg['seed']}/{cfg['round']}")
        self.model = Model.load(cfg["state"], cfg["threshold"])
        self.serial = 0

    # -- what to do next -----------------------------------------------------

    def fresh_id(self):
        self.serial += 1
        return f"r{self.cfg['round']}-{self.serial}"

    def vector_key(self):
        self.serial += 1
        return (self.cfg["seed"] * 1000 + self.cfg["round"]) * 1_000_000 + self.serial

    def props(self):
        if self.rng.random() < 0.1:
            return None
        self.serial += 1
        return {"g": self.rng.randrange(GROUPS), "w": self.serial}

    def doc(self):
        if self.rng.random() < 0.3:
            return None
        self.serial += 1
        return f"doc {self.serial}"

    def live(self, k=1):
        ids = list(self.model.records)
        return self.rng.sample(ids, min(k, len(ids)))

    def write_op(self, kind):
        if kind == "insert" or not self.model.records or (kind == "upsert" and self.rng.random() < 0.3):
            rid = self.fresh_id()
        else:
            rid = self.live()[0]
        return {"op": kind, "id": rid, "vk": self.vector_key(), "meta": self.props(), "doc": self.doc()}

    def batch_op(self, rows):
        mode = self.rng.choice(["insert", "insert", "upsert", "update"]) if self.model.records else "insert"
        if mode == "insert":
            ids = [self.fresh_id() for _ in range(rows)]
        elif mode == "update":
            ids = self.live(rows)
        else:
            ids = self.live(rows // 2) + [self.fresh_id() for _ in range(rows - rows // 2)]
            if self.rng.random() < 0.2:
                ids.append(ids[0])  # the second occurrence wins
        metas = None if self.rng.random() < 0.2 else [self.props() or {} for _ in ids]
        docs = None if self.rng.random() < 0.2 else [self.doc() for _ in ids]
        return {"op": "insert_batch", "mode": mode, "ids": ids, "vks": [self.vector_key() for _ in ids],
                "metas": metas, "docs": docs}

    def filter(self):
        r = self.rng.random()
        if r < 0.4:
            return {"g": self.rng.randrange(GROUPS)}
        if r < 0.7:
            return {"g": {"$in": self.rng.sample(range(GROUPS), 2)}}
        return {"w": {"$lt": self.rng.randrange(max(self.serial, 1))}}

    def next_op(self):
        if len(self.model.records) < 20:
            return self.batch_op(self.rng.randrange(20, 120))
        r = self.rng.random()
        if r < 0.18:
            return self.write_op("insert")
        if r < 0.30:
            return self.write_op("upsert")
        if r < 0.36:
            return self.write_op("update")
        if r < 0.44:
            return self.batch_op(self.rng.randrange(1, 150))
        if r < 0.58:
            self.serial += 1
            meta = self.rng.choice([None, {}, {"g": self.rng.randrange(GROUPS), "u": self.serial}])
            doc = self.rng.choice([None, f"udoc {self.serial}"])
            return {"op": "update_metadata", "id": self.live()[0], "meta": meta, "doc": doc}
        if r < 0.70:
            rid = self.live()[0] if self.rng.random() < 0.9 else "absent"
            return {"op": "delete", "id": rid}
        if r < 0.80:
            ids = self.live(self.rng.randrange(0, 8)) + (["absent"] if self.rng.random() < 0.2 else [])
            flt = self.filter() if not ids or self.rng.random() < 0.4 else None
            return {"op": "delete_batch", "ids": ids, "filter": flt}
        if r < 0.90:
            return {"op": "flush"}
        if r < 0.95:
            return {"op": "create_index"}
        return {"op": "reopen"}

    # -- doing it ------------------------------------------------------------

    def open(self):
        opts = dict(self.cfg["open"], wal_flush_threshold=self.cfg["threshold"])
        return velq.Database.open(self.cfg["dir"], **opts)

    def call(self, db, op):
        kind = op["op"]
        if kind in ("insert", "upsert", "update"):
            getattr(db, kind)(op["id"], vector(op["vk"]), op["meta"], op["doc"])
        elif kind == "insert_batch":
            matrix = np.stack([vector(k) for k in op["vks"]])
            db.insert_batch(op["ids"], matrix, metadatas=op["metas"], documents=op["docs"], mode=op["mode"])
        elif kind == "update_metadata":
            db.update_metadata(op["id"], op["meta"], op["doc"])
        elif kind == "delete":
            return db.delete(op["id"])
        elif kind == "delete_batch":
            return db.delete_batch(op["ids"], where_filter=op["filter"])
        elif kind == "flush":
            db.flush()
        elif kind == "create_index":
            db.create_index(max_degree=8, ef_construction=24, n_refinements=1)
        elif kind == "reopen":
            db.close()
            return self.open()
        return None

    def run(self):
        report("B", {"op": "open"})
        db = self.open()
        report("A", None)
        for _ in range(self.cfg["ops"]):
            op = self.next_op()
            report("B", op)
            result = self.call(db, op)
            if op["op"] == "reopen":
                db, result = result, None
            report("A", result)
            self.model.plan(op, track=False)


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        Workload(json.load(f)).run()
