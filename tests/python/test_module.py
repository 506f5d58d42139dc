"""The module, the class, its names, signatures and docstrings."""
import inspect

import pytest

import velq


def test_module_exposes_one_class_under_two_names():
    public = [name for name in dir(velq) if not name.startswith("_")]
    assert public == ["Database", "VelqorDB"]
    assert velq.VelqorDB is velq.Database
    assert velq.__doc__ is None


def test_class_docstring_names_the_product():
    assert velq.Database.__doc__.startswith("Thread-safe handle to a VelqorDB database.\n\n")
    assert velq.Database.__doc__.endswith("Open or create a database with :meth:`Database.open`.")


def test_direct_construction_is_refused():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        velq.Database()


SIGNATURES = {
    "open": '(path, dimension=None, bits=4, seed=42, metric="ip", rerank=True, fast_mode=False, '
    'rerank_precision=None, collection=None, wal_flush_threshold=None, normalize=False, '
    'quantizer_type=None)',
    "insert": "($self, id, vector, metadata=None, document=None)",
    "upsert": "($self, id, vector, metadata=None, document=None)",
    "update": "($self, id, vector, metadata=None, document=None)",
    "insert_batch": '($self, ids, vectors, metadatas=None, documents=None, mode="insert")',
    "update_metadata": "($self, id, metadata=None, document=None)",
    "delete": "($self, id)",
    "get": "($self, id)",
    "get_many": "($self, ids)",
    "list_all": "($self)",
    "list_ids": "($self, where_filter=None, limit=None, offset=0)",
    "list_metadata_values": "($self, field)",
    "count": "($self, filter=None)",
    "search": "($self, query, top_k, filter=None, _use_ann=None, ann_search_list_size=None, include=None)",
    "query": "($self, query_embeddings, n_results=10, where_filter=None, _use_ann=None, "
    "ann_search_list_size=None)",
    "create_index": "($self, max_degree=None, ef_construction=None, search_list_size=None, alpha=None, "
    "n_refinements=None)",
    "update_index": "($self, max_degree=None, ef_construction=None, search_list_size=None, alpha=None, "
    "n_refinements=None)",
    "stats": "($self)",
    "flush": "($self)",
    "close": "($self)",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    assert getattr(velq.Database, name).__text_signature__ == SIGNATURES[name]
    inspect.signature(getattr(velq.Database, name))  # parses


def test_docstring_bodies():
    assert velq.Database.insert.__doc__ == "Insert a single vector with optional metadata and document."
    for name in ["insert_batch", "upsert", "update", "delete", "get", "get_many", "list_all",
                 "create_index", "stats", "flush", "close"]:
        assert not getattr(velq.Database, name).__doc__
    assert "An open :class:`Database` instance." in velq.Database.open.__doc__
    assert velq.Database.count.__doc__.startswith("Count vectors matching an optional metadata filter.")
    assert velq.Database.search.__doc__.startswith("Search for the nearest neighbours of a query vector.")
    assert "Defaults to all four." in velq.Database.search.__doc__
    assert velq.Database.query.__doc__.startswith("Search with multiple query vectors in one call.")
    assert "Number of results per query. Default 10." in velq.Database.query.__doc__
    assert "Significantly faster than a full rebuild for small deltas (< ~10% of corpus)." in " ".join(
        velq.Database.update_index.__doc__.split())


def test_wrong_receiver_is_a_type_error():
    with pytest.raises(TypeError):
        velq.Database.count(5)
