"""The systems the side-by-side benchmark runs, behind one small interface.

Each system is a Python object with:
- `build(base, folder)`: a fresh index of every row, saved under `folder`;
  it may return a dict of figures of its own (velq: the index build alone);
- `insert_one(rows, folder)`: a fresh index filled one row per call;
- `open(folder)`: the saved index, loaded for searching;
- `search(query, k)` -> row numbers, `search_batch(queries, k)` -> rows of row numbers;
- `knob` (the name of its speed/recall setting, or None), `settings` (the values
  swept, the default first) and `set(value)`;
- `exact` when it ranks by exact distances (flat indexes).

Row numbers are the base rows' positions; velq's ids are their decimal text.
Thread knobs are set when the object is made: the caller gives the count.
"""
import os
from pathlib import Path

import numpy as np

from measures import memory_mb, reset_peak, timed

GRAPH_DEGREE = 16          # hnswlib / faiss / usearch M: 32 links on the bottom layer
GRAPH_EF_CONSTRUCTION = 200
EF_SWEEP = (10, 20, 40, 80, 160, 320, 640)
RERANK_DEPTH_SWEEP = (10, 20, 40)
RERANK_KNOB = "results asked"


def folder_bytes(folder):
    return sum(p.stat().st_size for p in Path(folder).rglob("*") if p.is_file())


class Velq:
    """velq through its Python module; the options go to Database.open.
    `graph` builds the proximity graph. Without reranking a graph search
    sweeps ann_search_list_size; with raw vectors to rerank from, the knob is
    the number of results asked for, of which the first 10 are kept: a scan
    reranks a pool ten times that size, a graph walk reranks that many hits.
    Reranking from the codes gains nothing from a deeper pool: no knob."""

    def __init__(self, dim, metric, threads, graph=False, **options):
        import velq
        self.velq, self.dim, self.metric = velq, dim, metric
        self.options, self.graph = options, graph
        self.use_ann = graph
        if graph and not options.get("rerank", True):
            self.knob, self.settings = "ann_search_list_size", EF_SWEEP
        elif options.get("rerank_precision"):
            self.knob, self.settings = RERANK_KNOB, RERANK_DEPTH_SWEEP
        else:
            self.knob, self.settings = None, (None,)
        self.setting = self.settings[0]
        self.exact = False
        assert os.environ.get("RAYON_NUM_THREADS") == str(threads), "velq's pool size is read once"

    def _open(self, folder, new):
        sizes = {"dimension": self.dim, "metric": self.metric} if new else {}
        return self.velq.Database.open(str(folder), **sizes, **self.options)

    def build(self, base, folder):
        """With a graph: create_index's own time and peak memory beside the
        peak of the insertion before it."""
        db = self._open(folder, True)
        db.insert_batch([str(i) for i in range(len(base))], base)
        figures = {}
        if self.graph:
            figures["insert_peak_mb"] = memory_mb("VmHWM")
            reset_peak()
            figures["index_s"] = timed(db.create_index)[0]
            figures["index_peak_mb"] = memory_mb("VmHWM")
        db.close()
        return figures

    def insert_one(self, rows, folder):
        db = self._open(folder, True)
        for i, row in enumerate(rows):
            db.insert(str(i), row)
        db.close()

    def open(self, folder):
        self.db = self._open(folder, False)

    def set(self, value):
        self.setting = value

    def _kwargs(self):
        if self.knob == "ann_search_list_size":
            return {"_use_ann": True, "ann_search_list_size": self.setting}
        return {"_use_ann": self.graph}

    def _asked(self, k):
        return max(k, self.setting) if self.knob == RERANK_KNOB else k

    def search(self, query, k):
        hits = self.db.search(query, self._asked(k), include=["id"], **self._kwargs())
        return [int(h["id"]) for h in hits[:k]]

    def search_batch(self, queries, k):
        rows = self.db.query(queries, n_results=self._asked(k), **self._kwargs())
        return [[int(h["id"]) for h in hits[:k]] for hits in rows]


class Faiss:
    """A faiss index from a factory function; the knob is efSearch for HNSW
    indexes and k_factor for a refined one."""

    def __init__(self, dim, metric, threads, make, knob=None, settings=(None,), exact=False):
        import faiss
        self.faiss, self.dim, self.make = faiss, dim, make
        self.metric = faiss.METRIC_L2 if metric == "l2" else faiss.METRIC_INNER_PRODUCT
        self.knob, self.settings, self.exact = knob, settings, exact
        faiss.omp_set_num_threads(threads)

    def _new(self, base):
        index = self.make(self.faiss, self.dim, self.metric)
        if hasattr(index, "hnsw"):
            index.hnsw.efConstruction = GRAPH_EF_CONSTRUCTION
        if not index.is_trained:
            index.train(base)
        return index

    def build(self, base, folder):
        index = self._new(base)
        index.add(base)
        self.faiss.write_index(index, str(Path(folder) / "index.faiss"))

    def insert_one(self, rows, folder):
        index = self._new(rows)
        for row in rows:
            index.add(row[None, :])

    def open(self, folder):
        self.index = self.faiss.read_index(str(Path(folder) / "index.faiss"))
        self.set(self.settings[0])

    def set(self, value):
        if self.knob == "efSearch":
            self.faiss.downcast_index(self.index).hnsw.efSearch = value
        elif self.knob == "k_factor":
            self.faiss.downcast_index(self.index).k_factor = value

    def search(self, query, k):
        return self.index.search(query[None, :], k)[1][0]

    def search_batch(self, queries, k):
        return self.index.search(queries, k)[1]


def faiss_variants():
    def sq(bits):
        return lambda f, d, m: f.IndexScalarQuantizer(d, getattr(f.ScalarQuantizer, f"QT_{bits}bit"), m)

    def rabitq(bits, refine):
        def make(f, d, m):
            index = f.IndexRaBitQ(d, m, bits)
            index.qb = 8
            return f.IndexRefineFlat(index) if refine else index
        return make

    def hnsw_sq(bits):
        return lambda f, d, m: f.IndexHNSWSQ(
            d, getattr(f.ScalarQuantizer, f"QT_{bits}bit"), GRAPH_DEGREE, m)

    hnsw = {"knob": "efSearch", "settings": EF_SWEEP}
    return {
        "faiss Flat": {"make": lambda f, d, m: f.IndexFlat(d, m), "exact": True},
        "faiss SQ4": {"make": sq(4)},
        "faiss SQ8": {"make": sq(8)},
        "faiss RaBitQ 4-bit": {"make": rabitq(4, False)},
        "faiss RaBitQ 1-bit + refine": {"make": rabitq(1, True), "knob": "k_factor",
                                        "settings": (1, 2, 4, 8, 16, 32)},
        "faiss HNSWFlat": {"make": lambda f, d, m: f.IndexHNSWFlat(d, GRAPH_DEGREE, m), **hnsw},
        "faiss HNSWSQ4": {"make": hnsw_sq(4), **hnsw},
        "faiss HNSWSQ8": {"make": hnsw_sq(8), **hnsw},
    }


class Hnswlib:
    knob, settings, exact = "ef", EF_SWEEP, False

    def __init__(self, dim, metric, threads):
        import hnswlib
        self.hnswlib, self.dim, self.threads = hnswlib, dim, threads
        self.space = "l2" if metric == "l2" else "ip"

    def _new(self, n):
        index = self.hnswlib.Index(space=self.space, dim=self.dim)
        index.init_index(max_elements=n, M=GRAPH_DEGREE, ef_construction=GRAPH_EF_CONSTRUCTION)
        index.set_num_threads(self.threads)
        return index

    def build(self, base, folder):
        index = self._new(len(base))
        index.add_items(base, np.arange(len(base)))
        index.save_index(str(Path(folder) / "index.hnsw"))

    def insert_one(self, rows, folder):
        index = self._new(len(rows))
        for i, row in enumerate(rows):
            index.add_items(row[None, :], [i])

    def open(self, folder):
        self.index = self.hnswlib.Index(space=self.space, dim=self.dim)
        self.index.load_index(str(Path(folder) / "index.hnsw"))
        self.index.set_num_threads(self.threads)
        self.set(self.settings[0])

    def set(self, value):
        self.index.set_ef(max(value, 10))

    def search(self, query, k):
        return self.index.knn_query(query, k=k)[0][0]

    def search_batch(self, queries, k):
        return self.index.knn_query(queries, k=k)[0]


class Usearch:
    knob, settings, exact = "expansion_search", EF_SWEEP, False

    def __init__(self, dim, metric, threads, dtype):
        from usearch.index import Index
        self.Index, self.dim, self.threads, self.dtype = Index, dim, threads, dtype
        self.metric = {"l2": "l2sq", "ip": "ip", "cosine": "cos"}[metric]

    def _new(self):
        return self.Index(ndim=self.dim, metric=self.metric, dtype=self.dtype,
                          connectivity=GRAPH_DEGREE, expansion_add=GRAPH_EF_CONSTRUCTION)

    def build(self, base, folder):
        index = self._new()
        index.add(np.arange(len(base)), base, threads=self.threads)
        index.save(str(Path(folder) / "index.usearch"))

    def insert_one(self, rows, folder):
        index = self._new()
        for i, row in enumerate(rows):
            index.add(i, row, threads=1)

    def open(self, folder):
        self.index = self.Index.restore(str(Path(folder) / "index.usearch"))
        self.set(self.settings[0])

    def set(self, value):
        self.index.expansion_search = value

    def search(self, query, k):
        return self.index.search(query, k, threads=1).keys

    def search_batch(self, queries, k):
        return self.index.search(queries, k, threads=self.threads).keys


def velq_variants():
    """The velq configurations: b = 4 throughout. "velq rerank codes" is the
    default configuration; "velq srht" and "velq fast" change only the
    quantizer from it."""
    return {
        "velq rerank off": {"rerank": False},
        "velq rerank codes": {"rerank": True},
        "velq srht": {"rerank": True, "quantizer_type": "srht"},
        "velq fast": {"rerank": True, "fast_mode": True},
        "velq rerank f16": {"rerank": True, "rerank_precision": "f16"},
        "velq rerank f32": {"rerank": True, "rerank_precision": "f32"},
        "velq srht rerank off": {"rerank": False, "quantizer_type": "srht"},
        "velq fast rerank off": {"rerank": False, "fast_mode": True},
        "velq graph": {"rerank": False, "graph": True},
        "velq graph rerank f16": {"rerank": True, "rerank_precision": "f16", "graph": True},
    }


def registry():
    """Every system by name: (family, constructor keyword arguments)."""
    systems = {name: ("velq", options) for name, options in velq_variants().items()}
    systems.update({name: ("faiss", options) for name, options in faiss_variants().items()})
    systems["hnswlib"] = ("hnswlib", {})
    systems["usearch f16"] = ("usearch", {"dtype": "f16"})
    systems["usearch i8"] = ("usearch", {"dtype": "i8"})
    return systems


FAMILIES = {"velq": Velq, "faiss": Faiss, "hnswlib": Hnswlib, "usearch": Usearch}


def make_system(name, dim, metric, threads):
    family, options = registry()[name]
    return FAMILIES[family](dim, metric, threads, **options)
