"""Types of the velq extension module, for editors and type checkers.

The module itself carries the runtime docstrings; these describe each call
for a reader: what it does, what it returns, what it raises, and what is on
disk when it returns.
"""

from collections.abc import Sequence
from typing import Any, TypeAlias, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt

# A 1-D (vectors, queries) or 2-D (batches, query matrices) array; other
# dtypes and plain Python lists are refused.
_FloatArray: TypeAlias = npt.NDArray[np.float32] | npt.NDArray[np.float64]

# Metadata as given: str keys; values None, bool, int, float, str, lists and
# dicts of these. Other values (tuple, set, bytes, objects) are stored as
# None, and ints beyond 64 bits as floats.
_Metadata: TypeAlias = dict[str, Any]

# A filter in the filter language: {"field": value}, {"field": {"$gt": 1}},
# {"$and": [...]}, {"$or": [...]}.
_Filter: TypeAlias = dict[str, Any]

@type_check_only
class Record(TypedDict):
    """A stored record as `get` and `get_many` return it (no vector)."""

    id: str
    metadata: dict[str, Any]
    document: str | None

@type_check_only
class Hit(TypedDict, total=False):
    """One search result. `search` returns only the keys its `include`
    names (all four by default); `query` always returns all four."""

    id: str
    score: float
    metadata: dict[str, Any]
    document: str | None

@type_check_only
class Stats(TypedDict):
    """The counters of `Database.stats`, in the order they come."""

    vector_count: int
    segment_count: int
    buffered_vectors: int
    dimension: int
    bits: int
    total_disk_bytes: int
    has_index: bool
    index_nodes: int
    live_codes_bytes: int
    live_slot_count: int
    live_id_count: int
    live_vectors_count: int
    live_vectors_bytes_estimate: int
    metadata_entries: int
    metadata_bytes_estimate: int
    ann_slot_count: int
    graph_nodes: int
    delta_size: int
    ram_estimate_bytes: int

@final
class Database:
    """A handle on one open database directory.

    Made only by `Database.open`; calling `Database()` raises TypeError.
    Any number of threads may share one handle: reads and searches run side
    by side, writes and index builds one at a time, and the interpreter lock
    is given up while the engine works.

    Errors: a value the call cannot accept raises ValueError, an argument of
    the wrong type TypeError (OverflowError for a negative or too large
    integer), a failure of the database itself RuntimeError with its message.
    A broken internal invariant raises velq's PanicException (a
    BaseException); if it happened during a write, every later call on this
    handle raises RuntimeError and the directory must be opened again.
    """

    @staticmethod
    def open(
        path: str,
        dimension: int | None = None,
        bits: int = 4,
        seed: int = 42,
        metric: str = "ip",
        rerank: bool = True,
        fast_mode: bool = False,
        rerank_precision: str | None = None,
        collection: str | None = None,
        wal_flush_threshold: int | None = None,
        normalize: bool = False,
        quantizer_type: str | None = None,
    ) -> Database:
        """Open the database in the directory `path`, creating it when missing.

        A new database needs `dimension`; `bits`, `seed`, `metric` (`"ip"`,
        `"cosine"` or `"l2"`, any case) and `quantizer_type` (`"dense"`, the
        default, or `"srht"`) are fixed when it is created. Reopening with
        `path` alone reads them from the directory; when `dimension` is
        given, it, `bits` and `metric` must match what is stored.
        `collection` names a subdirectory of `path` to use instead.

        `rerank` rescores the best candidates more precisely before the
        final cut; `rerank_precision` `"f16"` or `"f32"` keeps each vector's
        raw values (2 or 4 bytes per component) and reranks exactly from
        them, None from the codes. `fast_mode` gives every bit to the scalar
        codes and keeps no residual sketch. `normalize` scales vectors and
        queries to unit length. `wal_flush_threshold` (5000 when None) is
        the number of logged writes between automatic flushes, for this
        handle; raise it for bulk loads.

        A `file://` URI means its path. A second `open` of a directory this
        process already has open returns a handle on the same database and
        refuses options that would change it for the other handle.

        Returns:
            A new handle.

        Raises:
            ValueError: no `dimension` for a new database, `dimension` 0,
                `bits` below 2, an unknown metric or rerank precision, a
                collection name that is not one path component.
            OSError: the directory cannot be created.
            RuntimeError: the stored parameters differ from those given, a
                file is damaged or unreadable, or another process has the
                directory open.

        Durable on return: the directory and its parameters; a log left by
        a crash has been replayed.
        """

    def insert(
        self,
        id: str,
        vector: _FloatArray,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        """Add a new record: a 1-D float32 or float64 vector of the
        database's dimension, optional metadata and an optional text.

        Raises:
            ValueError: a NaN or infinite component, or a wrong length.
            TypeError: the vector is not a 1-D float32/float64 array, or a
                metadata key is not a str.
            RuntimeError: the id exists already ("ID '...' already exists"),
                or the write failed.

        Durable on return: the write is in the log and survives a crash of
        the process (the log is not synced, so not a power loss).
        """

    def upsert(
        self,
        id: str,
        vector: _FloatArray,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        """Write a record whether or not its id exists; an existing record
        is replaced whole (vector, metadata and text).

        Raises:
            ValueError: a wrong vector length or a non-finite component.
            TypeError: the vector is not a 1-D float32/float64 array.
            RuntimeError: the write failed.

        Durable on return: in the log, as for `insert`.
        """

    def update(
        self,
        id: str,
        vector: _FloatArray,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        """Replace an existing record whole (vector, metadata and text).

        Raises:
            ValueError: a wrong vector length or a non-finite component.
            TypeError: the vector is not a 1-D float32/float64 array.
            RuntimeError: the id does not exist ("ID '...' does not exist"),
                or the write failed.

        Durable on return: in the log, as for `insert`.
        """

    def insert_batch(
        self,
        ids: Sequence[str],
        vectors: _FloatArray,
        metadatas: list[_Metadata] | None = None,
        documents: list[str] | list[str | None] | None = None,
        mode: str = "insert",
    ) -> None:
        """Write one record per row of the 2-D array `vectors`.

        `mode` is `"insert"` (every id must be new), `"upsert"` or
        `"update"` (every id must exist). `metadatas` and `documents`, when
        given as lists, hold one entry per row; any other kind of sequence
        (a tuple) is ignored. Rows are written in chunks of 2000; other
        threads' calls may run between chunks.

        Raises:
            ValueError: a bad mode, as many ids as rows not given, a wrong
                row width, a non-finite value, metadatas or documents of the
                wrong length.
            TypeError: `ids` is a str, `vectors` is not a 2-D float32/float64
                array, a metadatas entry is not a dict.
            RuntimeError: an id breaks the mode, or a write failed; the
                chunks before the failing one stay written.

        Durable on return: every row is in the log, as for `insert`.
        """

    def update_metadata(
        self,
        id: str,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        """Change an existing record's metadata and/or text, not its vector.

        A non-empty `metadata` replaces the whole stored map (it is not
        merged); None or {} keeps it. `document` None keeps the stored text.

        Raises:
            RuntimeError: the id does not exist.

        Durable on return: nothing new. The change is not logged: it
        reaches disk at the next flush (`flush`, `close`, `create_index`,
        or the automatic one), and a crash before that keeps the previous
        metadata and text.
        """

    def delete(self, id: str) -> bool:
        """Delete one record.

        Returns:
            True when the id existed, False when it did not.

        Raises:
            RuntimeError: the deletion could not be logged.

        Durable on return: in the log, as for `insert`. A deletion sets a
        built index aside until the next `create_index`.
        """

    def delete_batch(
        self, ids: Sequence[str] = ..., where_filter: _Filter | None = None
    ) -> int:
        """Delete the listed ids (absent ones are skipped) and every record
        `where_filter` matches ({} matches every record).

        Returns:
            The number of records deleted, each counted once.

        Raises:
            TypeError: `ids` is a str.
            ValueError: the filter uses an unknown operator.
            RuntimeError: a deletion failed; those before it are kept.

        Durable on return: in the log, as for `insert`.
        """

    def get(self, id: str) -> Record | None:
        """Return the record `{"id", "metadata", "document"}` (no vector),
        or None when the id does not exist."""

    def get_many(self, ids: Sequence[str]) -> list[Record | None]:
        """Return one entry per requested id, in order: the record as `get`
        returns it, or None where the id does not exist.

        Raises:
            TypeError: `ids` is a str.
        """

    def list_all(self) -> list[str]:
        """Return the id of every record."""

    def list_ids(
        self,
        where_filter: _Filter | None = None,
        limit: int | None = None,
        offset: int = 0,
    ) -> list[str]:
        """Return the ids of the records the filter matches (all with None
        or {}), skipping the first `offset`, at most `limit` (None: all).

        Raises:
            ValueError: a negative offset or limit, an unknown operator.
        """

    def list_metadata_values(self, field: str) -> dict[str, int]:
        """Return `{value: number of records}` for every value the field
        takes. `field` may be a dotted path into nested objects; values
        that are not strings are keyed by their JSON text (`"2024"`,
        `"true"`)."""

    def count(self, filter: _Filter | None = None) -> int:
        """Return the number of records the filter matches; without one
        (None or {}) the number of records, at no cost.

        Raises:
            ValueError: the filter uses an unknown operator.
        """

    def search(
        self,
        query: _FloatArray,
        top_k: int,
        filter: _Filter | None = None,
        _use_ann: bool | None = None,
        ann_search_list_size: int | None = None,
        include: Sequence[str] | None = None,
    ) -> list[Hit]:
        """Return the `top_k` records closest to the 1-D `query`, best
        first, among those `filter` matches.

        A score is higher the closer the record: the inner product for
        "ip", the cosine for "cosine", minus the distance for "l2".
        `include` picks the keys of each hit among "id", "score",
        "metadata" and "document" (all four by default). With a built index
        over at least 10,000 records, at most a fifth of them written since
        the build, the search walks the graph, else it scans every record;
        `_use_ann` True or False forces the choice, and
        `ann_search_list_size` widens the walk (more recall, slower).

        Raises:
            ValueError: `top_k` below 1, a wrong query length, a non-finite
                component, an unknown include field or filter operator.
            TypeError: the query is not a 1-D float32/float64 array.
        """

    def query(
        self,
        query_embeddings: _FloatArray,
        n_results: int = 10,
        where_filter: _Filter | None = None,
        _use_ann: bool | None = None,
        ann_search_list_size: int | None = None,
    ) -> list[list[Hit]]:
        """Search every row of the 2-D `query_embeddings` as `search` does,
        rows in parallel on the worker threads.

        Returns:
            One list of hits (all four keys) per row, in row order.

        Raises:
            ValueError: `n_results` below 1, not a 2-D float32/float64
                array, a wrong row width, a non-finite value, an unknown
                filter operator.
        """

    def create_index(
        self,
        max_degree: int | None = None,
        ef_construction: int | None = None,
        search_list_size: int | None = None,
        alpha: float | None = None,
        n_refinements: int | None = None,
    ) -> None:
        """Flush, then build the proximity graph over every record.

        None takes the default: max_degree 32, ef_construction 200,
        search_list_size 128, alpha 1.2, n_refinements 5. Searches use the
        graph from now on (see `search`). Records written later are scored
        beside the graph; those whose vector changes stay findable the same
        way until the next build. A later flush or deletion sets the graph
        aside until the next `create_index`.

        Raises:
            OverflowError: a negative parameter.
            RuntimeError: the flush or the build failed.

        Durable on return: every buffered write (flushed) and the graph.
        """

    def update_index(
        self,
        max_degree: int | None = None,
        ef_construction: int | None = None,
        search_list_size: int | None = None,
        alpha: float | None = None,
        n_refinements: int | None = None,
    ) -> None:
        """Flush, then add the records written since the last build to the
        graph; without a graph it builds one as `create_index` does.

        Much cheaper than a full build when few records are new; after many
        writes, `create_index` gives the better graph. The flush it starts
        with sets the graph aside when there were new writes (as any flush
        of pending writes does), and only `create_index` brings a graph back
        into use: until then searches scan.

        Raises:
            OverflowError: a negative parameter.
            RuntimeError: the flush or the build failed.

        Durable on return: every buffered write (flushed) and the graph.
        """

    def stats(self) -> Stats:
        """Return the database's counters (19 entries: record, segment and
        buffered-write counts, dimension, bits, bytes on disk, the index's
        state and sizes, estimated memory)."""

    def flush(self) -> None:
        """Write the logged writes to a segment, empty the log and write
        the metadata and id files.

        Raises:
            RuntimeError: a file could not be written.

        Durable on return: everything written so far, metadata-only
        updates included, is in the segment, slot, metadata and id files
        and survives a crash of the process; of these only the slot files
        are synced to stable storage.
        """

    def close(self) -> None:
        """Flush and trim the files to their exact size. The handle stays
        usable: later calls work as before.

        Raises:
            RuntimeError: a file could not be written.

        Durable on return: as for `flush`.
        """

    def __len__(self) -> int:
        """The number of records."""

    def __contains__(self, id: str, /) -> bool:
        """Whether a record with this id exists."""

VelqorDB = Database
