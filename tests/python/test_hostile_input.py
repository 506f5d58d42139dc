"""Random Python values thrown at every method and at Database.open: each call
works or raises one of the documented exception types, never brings the
interpreter down, and a refused call leaves the database as it was."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velq

from conftest import DIM, unit_rows

# What a method may raise for a bad argument or an engine refusal, plus what
# a value's own conversion hooks raise (passed through unchanged); OSError
# only where a directory is made. Anything else (SystemError: a value and an
# exception at once; velq.PanicException: a broken invariant) is a defect.
class HookFailure(ArithmeticError):
    pass


REFUSALS = (TypeError, ValueError, OverflowError, RuntimeError, HookFailure)
OPEN_REFUSALS = REFUSALS + (OSError,)

KNOWN = [f"k{i}" for i in range(12)]


def nested(depth, kind):
    value = 1
    for _ in range(depth):
        value = [value] if kind == "list" else {"k": value}
    return value


def self_containing(kind):
    value = [] if kind == "list" else {}
    if kind == "list":
        value.append(value)
    else:
        value["me"] = value
    return value


class Unconvertible:
    def __index__(self):
        raise HookFailure("no index here")

    def __float__(self):
        raise HookFailure("no float here")


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(), st.text(max_size=12),
    st.binary(max_size=8), st.sampled_from([2**64, 2**63, -2**63 - 1, 10**400, "x" * 200_000, "\x00", "\ud800"]),
)
json_like = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(st.one_of(st.text(max_size=4), st.integers(), st.none(), st.tuples()), inner, max_size=3),
        st.tuples(inner),
        st.frozensets(st.integers(), max_size=2),
    ),
    max_leaves=8,
)
too_deep = st.sampled_from(["list", "dict"]).flatmap(
    lambda kind: st.sampled_from([nested(126, kind), nested(127, kind), nested(5000, kind), self_containing(kind)])
)


def views(array_strategy):
    """Arrays as they are, strided, transposed, read-only or Fortran-ordered."""
    def view(pair):
        a, how = pair
        if how == "stride" and a.ndim:
            return np.repeat(a, 2, axis=0)[::2]
        if how == "transpose":
            return a.T
        if how == "readonly":
            a.flags.writeable = False
        if how == "fortran":
            return np.asfortranarray(a)
        return a
    return st.tuples(array_strategy, st.sampled_from(["plain", "stride", "transpose", "readonly", "fortran"])).map(view)


any_array = views(hnp.arrays(
    dtype=st.sampled_from([np.float32, np.float64, np.float16, np.int64, np.uint8, np.bool_, np.complex64]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=DIM + 1),
))
vectors = views(hnp.arrays(dtype=st.sampled_from([np.float32, np.float64]),
                           shape=st.sampled_from([(DIM,), (DIM,), (DIM - 1,), (DIM + 1,), (0,)])))
matrices = views(hnp.arrays(dtype=st.sampled_from([np.float32, np.float64]),
                            shape=st.tuples(st.integers(0, 4), st.sampled_from([DIM, DIM, 0, DIM + 1]))))
anything = st.one_of(json_like, too_deep, any_array, st.lists(st.floats(), max_size=DIM + 1),
                     st.builds(Unconvertible), st.builds(object))

ids = st.one_of(st.sampled_from(KNOWN), st.text(max_size=8), anything)
id_lists = st.one_of(st.lists(st.one_of(st.sampled_from(KNOWN), st.text(max_size=6)), max_size=5), anything)
metadata = st.one_of(st.none(), st.dictionaries(st.text(max_size=6), json_like, max_size=4), anything)
documents = st.one_of(st.none(), st.text(max_size=20), anything)
filters = st.one_of(
    st.none(), st.just({}),
    st.dictionaries(st.sampled_from(["g", "$and", "$or", "n", "a.b"]),
                    st.one_of(json_like, st.dictionaries(st.sampled_from(["$eq", "$in", "$gt", "$lt", "$ne", "$bogus"]),
                                                         json_like, max_size=2)), max_size=2),
    anything,
)
counts = st.one_of(st.none(), st.integers(-5, 20), st.sampled_from([0, 2**31, 2**63 - 1, 2**64]), anything)
index_params = st.one_of(st.none(), st.integers(0, 40), st.sampled_from([2**32, 2**63, 2**64, -1]),
                         st.floats(), anything)
flags = st.one_of(st.none(), st.booleans(), anything)

# Each method's parameters in order; trailing ones are sometimes left out.
METHODS = {
    "insert": [ids, vectors | anything, metadata, documents],
    "upsert": [ids, vectors | anything, metadata, documents],
    "update": [ids, vectors | anything, metadata, documents],
    "insert_batch": [id_lists, matrices | anything, st.one_of(st.lists(metadata, max_size=4), anything),
                     st.one_of(st.lists(documents, max_size=4), anything),
                     st.one_of(st.sampled_from(["insert", "UPSERT", "update", "replace"]), anything)],
    "update_metadata": [ids, metadata, documents],
    "delete": [ids],
    "delete_batch": [id_lists, filters],
    "get": [ids],
    "get_many": [id_lists],
    "__contains__": [ids],
    "list_all": [],
    "list_ids": [filters, counts, counts],
    "list_metadata_values": [st.one_of(st.sampled_from(["g", "a.b", ""]), anything)],
    "count": [filters],
    "search": [vectors | anything, counts, filters, flags, counts,
               st.one_of(st.none(), st.lists(st.sampled_from(["id", "SCORE", "metadata", "vector"])), anything)],
    "query": [matrices | anything, counts, filters, flags, counts],
    "create_index": [index_params] * 5,
    "update_index": [index_params] * 5,
    "stats": [],
    "flush": [],
    "close": [],
}


def snapshot(db):
    stats = db.stats()
    return db.count(), db.list_all(), [db.get(i) for i in KNOWN], stats


@pytest.fixture(scope="module")
def target(tmp_path_factory):
    db = velq.Database.open(str(tmp_path_factory.mktemp("hostile") / "db"), dimension=DIM)
    rows = unit_rows(np.random.default_rng(3), len(KNOWN))
    db.insert_batch(KNOWN, rows, metadatas=[{"g": i % 3, "a": {"b": i}} for i in range(len(KNOWN))],
                    documents=[f"doc {i}" for i in range(len(KNOWN))])
    db.create_index(max_degree=4, ef_construction=8)
    return db


def call(db, name, args):
    method = getattr(db, name)
    before = snapshot(db)
    try:
        method(*args)
    except REFUSALS as e:
        # The engine may have done part of a batch before refusing it; every
        # refusal before the engine runs must leave no trace.
        if not isinstance(e, RuntimeError):
            assert snapshot(db) == before, f"{name} refused with {e!r} but changed the database"
    snapshot(db)  # still usable: no refusal may poison the lock


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
@example(data=None)
def test_every_method_works_or_refuses_cleanly(target, data):
    if data is None:
        return  # the named regressions are in test_regressions_of_hostile_input
    name = data.draw(st.sampled_from(sorted(METHODS)), label="method")
    params = METHODS[name]
    kept = data.draw(st.integers(0, len(params)), label="arguments given") if params else 0
    args = [data.draw(p, label=f"{name} argument {i}") for i, p in enumerate(params[:max(kept, 1)] if params else [])]
    call(target, name, args)


@pytest.mark.parametrize("name, args", [
    ("search", (np.ones(DIM, np.float32), 2**63 - 1)),
    ("query", (np.ones((2, DIM)), 2**63 - 1)),
    ("list_ids", (None, 2**63 - 1, 2**63 - 1)),
    ("create_index", (2**63, 2**63, 2**63, math.inf, 2**63)),
    ("update_index", (None, None, None, math.nan)),
    ("create_index", (8, 2**63, 16, 1.2, 2**64 - 1)),
    ("insert", ("x", np.ones(DIM), nested(5000, "dict"))),
    ("update_metadata", (KNOWN[0], self_containing("list"))),
    ("count", ({"g": self_containing("dict")},)),
    ("insert_batch", (["a", "b"], np.ones((2, DIM)), [{"k": 1}, {1: 2}])),
    ("upsert", (KNOWN[1], np.full(DIM, np.nan))),
    ("search", (np.ones((DIM, 1), order="F")[:, 0], 1, None, None, None, "id")),
])
def test_regressions_of_hostile_input(target, name, args):
    call(target, name, args)


class NameInTmp(str):
    """A string path: used only as a name inside the test's own folder."""


open_paths = st.one_of(
    st.text(st.characters(blacklist_characters="/."), max_size=10).map(NameInTmp),
    anything.filter(lambda v: not isinstance(v, str)),
)


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                 HealthCheck.data_too_large])
@given(path=open_paths,
       dimension=st.one_of(st.none(), st.integers(-2, 10), st.sampled_from([2**64, 2**63]), anything),
       bits=st.one_of(st.integers(-1, 9), st.sampled_from([2**64, 64]), anything),
       keywords=st.dictionaries(
           st.sampled_from(["seed", "metric", "rerank", "fast_mode", "rerank_precision", "collection",
                            "wal_flush_threshold", "normalize", "quantizer_type"]),
           st.one_of(st.sampled_from(["ip", "COSINE", "l2", "f16", "half", "srht", "dense", "..", "a/b", "", 0, True]),
                     anything),
           max_size=3))
def test_open_works_or_refuses_cleanly(tmp_path, path, dimension, bits, keywords):
    if isinstance(path, NameInTmp):
        path = str(tmp_path / "db") + path
    try:
        db = velq.Database.open(path, dimension, bits, **keywords)
    except OPEN_REFUSALS:
        return
    assert db.count() >= 0
