// VelqorEngine: one open database, and the engine's whole public interface.
//
// Threads. The engine has no lock of its own. Its owner keeps one
// reader-writer lock per engine (the Python binding's, engine_lock.h):
// methods marked [shared] only read and may run together under the shared
// side, from any number of threads; methods marked [exclusive] change the
// database and need the exclusive side. Static methods need no lock.
//
// Errors. Fallible methods return Status or Result; the Error's kind
// (common/result.h) is what callers branch on, never its text:
//   kInvalidArgument  the caller's input is refused (a vector of the wrong
//                     length or with non-finite values, a malformed filter,
//                     parameters that do not match the stored database);
//   kFailed           a refusal the message explains (an id that already
//                     exists, or does not; a write after an unsynced batch);
//   kIo               the operating system failed a file operation;
//   kCorruption       stored bytes do not decode;
//   kUnsynced         a log batch reached the file but its sync failed: it
//                     may come back at the next open, so the write is
//                     neither acknowledged nor lost, and every later write
//                     is refused until the database is opened again;
//   kBusy             the directory is open in another process;
//   kNotFound         a file that must exist does not (only that);
//   kNotSupported     a storage scheme this build lacks.
// A failed call leaves every acknowledged write in place.
//
// Durability. A record write or delete is in the write-ahead log when its
// call returns: it survives the end of the process (the log is not synced
// to the device per call; flush() and close() make everything durable).
// Metadata-only updates are not logged: they become durable at the next
// flush (flush(), close(), an index build, or the automatic flush once
// `wal_flush_threshold` writes are buffered).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/engine_options.h"
#include "engine/engine_types.h"

namespace velq {

struct EngineState;
struct PreparedIpQuery;

// The parameters fixed when a database is created, as manifest.json keeps
// them.
struct StoredParameters {
  std::size_t d = 0;
  std::size_t b = 0;
  std::uint64_t seed = 0;
  DistanceMetric metric = DistanceMetric::kIp;
};

// Query rows prepared together for VelqorEngine::search_with_filter_and_ann;
// opaque to the caller, valid for the engine that made them.
class PreparedQueries {
 public:
  PreparedQueries();
  PreparedQueries(PreparedQueries&&) noexcept;
  PreparedQueries& operator=(PreparedQueries&&) noexcept;
  ~PreparedQueries();

  // Row i's preparation; null when none was made (the search then prepares
  // the row itself).
  const PreparedIpQuery* row(std::size_t i) const;

 private:
  friend class VelqorEngine;
  std::vector<PreparedIpQuery> rows_;
};

class VelqorEngine {
 public:
  VelqorEngine(VelqorEngine&&) noexcept;
  VelqorEngine& operator=(VelqorEngine&&) noexcept;
  ~VelqorEngine();

  // --- Opening -----------------------------------------------------------

  // Opens the database in options.local_dir, creating it when manifest.json
  // does not exist, and replays its log. The directory stays locked until
  // the engine is destroyed. Errors: kBusy (open in another process),
  // kInvalidArgument (d, b or metric differ from the stored ones; a new
  // database's parameters make no quantizer), kNotSupported (a cloud
  // storage URI), kCorruption, kIo. A replayed log is flushed before this
  // returns.
  static Result<VelqorEngine> open_with_options(const EngineOptions& options);

  // The local directory `uri` names (a path, or a file:// URI), with
  // `collection` below it when not empty. Creates nothing. Errors:
  // kNotSupported (a cloud storage scheme), kInvalidArgument (a file:// URL
  // that names no local path).
  static Result<std::string> local_directory(const std::string& uri, std::string_view collection);

  // Whether `dir` holds a database (its manifest.json exists). A directory
  // that cannot be examined counts as holding none.
  static bool holds_database(const std::string& dir);

  // The stored parameters of the database in options.local_dir, read with
  // its directory lock held for the read only, so a database open in
  // another process is not read. Errors: kBusy, kNotFound (no
  // manifest.json), kCorruption, kIo.
  static Result<StoredParameters> read_stored_parameters(const EngineOptions& options);

  // --- The caller's input, checked before a lock is taken -----------------

  // Levels of arrays and objects a metadata property value may hold; a
  // converter refuses deeper values before building them, with the text
  // property_too_deep_message().
  static std::size_t max_property_depth();
  static std::string property_too_deep_message();
  // Whether `filter` names only known operators, with operands of their
  // kind. Errors: kInvalidArgument.
  static Status check_filter(const JsonObject& filter);

  // --- Facts [shared] ------------------------------------------------------

  StoredParameters stored_parameters() const;
  std::size_t dimension() const;
  // Whether vectors and queries are scaled to unit length (the open's option
  // or the stored flag).
  bool normalizes() const;
  std::size_t wal_flush_threshold() const;
  // Whether every write is refused until the database is opened again (a
  // log batch's outcome became unknown).
  bool refuses_writes() const;
  // Whether `options` names this database's dimension, bits and metric.
  // Errors: kInvalidArgument naming the first that differs.
  Status check_matches(const EngineOptions& options) const;
  // Whether the f16 raw vectors this database keeps can hold `vector` (a
  // caller's vector narrowed to f32); always when it keeps none or
  // normalises. Errors: kInvalidArgument.
  Status check_raw_range(std::span<const float> vector) const;

  // --- Writes [exclusive] --------------------------------------------------
  // `vector` holds dimension() values. Each returns once the record is
  // logged (see Durability); it may also flush when the buffered writes
  // reach the threshold. Errors: kInvalidArgument, kFailed, kIo, kUnsynced.

  // Stores or replaces the record `id` (upsert).
  Status write_vector_entry(std::string id, std::span<const double> vector, JsonObject metadata,
                            std::optional<std::string> document);
  // Stores a new record; kFailed when `id` is live.
  Status insert_with_document(std::string id, std::span<const double> vector,
                              JsonObject metadata, std::optional<std::string> document);
  // Replaces a live record; kFailed when `id` is not live.
  Status update_with_document(std::string id, std::span<const double> vector,
                              JsonObject metadata, std::optional<std::string> document);
  // Replaces the properties (when `metadata` is not empty) and the document
  // (when given) of a live record, keeping its vector; kFailed when `id` is
  // not live. Not logged: durable at the next flush.
  Status update_metadata_only(const std::string& id, JsonObject metadata,
                              std::optional<std::string> document);
  // Writes `items` in the given mode, 5,000 at a time with one log append
  // each; an error stops the batch with the chunks before it written (and
  // logged), none of the failing chunk's.
  Status insert_many_with_mode(std::vector<BatchWriteItem> items, WriteMode mode);

  // Deletions, logged like writes; any deletion drops the graph index until
  // the next build. Errors: kFailed (writes refused), kIo, kUnsynced.
  // Whether `id` was live.
  Result<bool> delete_id(const std::string& id);
  // How many of `ids` were live; an id listed twice counts once.
  Result<std::uint64_t> delete_batch(const std::vector<std::string>& ids);
  // How many live records matched `filter` (kInvalidArgument when malformed).
  Result<std::uint64_t> delete_where(const JsonObject& filter);

  // --- Reads [shared] ------------------------------------------------------
  // Errors: kInvalidArgument (a malformed filter), kCorruption (stored
  // metadata that does not decode).

  // The record `id`, or nullopt when it is not live.
  Result<std::optional<GetResult>> get(const std::string& id) const;
  // One entry per id, in order.
  Result<std::vector<std::optional<GetResult>>> get_many(const std::vector<std::string>& ids) const;
  // Whether `id` is live.
  bool contains(const std::string& id) const;
  // Live records matching `filter` (all when null).
  Result<std::uint64_t> count_with_filter(const JsonObject* filter) const;
  // Their ids in slot order, from `offset`, at most `limit`.
  Result<std::vector<std::string>> list_with_filter_page(const JsonObject* filter,
                                                         std::optional<std::uint64_t> limit,
                                                         std::uint64_t offset) const;
  // How many live records hold each value of the metadata `field`.
  Result<std::unordered_map<std::string, std::uint64_t>> list_metadata_values(
      const std::string& field) const;

  // --- Search [shared] -----------------------------------------------------

  // At most top_k records nearest `query` (dimension() values), best first,
  // among those matching `filter` (all when null). The graph is walked or
  // every candidate scanned as search_route.h decides; `use_ann` forces the
  // road when set (the graph only while it is usable); `list_size`
  // overrides the stored search list size. `prepared` is this query's row
  // of prepare_search_queries, or null. Errors: kInvalidArgument.
  Result<std::vector<SearchResult>> search_with_filter_and_ann(
      std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
      std::optional<std::uint64_t> list_size, std::optional<bool> use_ann,
      const PreparedIpQuery* prepared = nullptr) const;
  // The rows.size() / dimension() queries in `rows`, prepared together
  // (faster than one by one); possibly with no rows prepared.
  PreparedQueries prepare_search_queries(std::span<const double> rows) const;
  // Rows worth preparing together per worker thread: enough to fill the
  // preparation's blocks, few enough to keep the prepared forms small.
  static std::size_t query_rows_per_thread();

  // --- Index [exclusive] ---------------------------------------------------
  // Both flush the buffered writes first; when they return the graph,
  // graph_ids.json, delta_ids.json and manifest.json are written. A failed
  // build leaves the previous index. Errors: kInvalidArgument (a
  // non-finite alpha), kIo, kCorruption.

  // Builds the graph over every live record; nothing when none is live.
  Status create_index_with_params(const IndexParams& params);
  // Adds the records written since the last build to the graph (a full
  // build when there is none); nothing when none were.
  Status create_index_incremental(const IndexParams& params);

  // --- Maintenance ---------------------------------------------------------

  // [exclusive] Moves the buffered writes into a segment, compacts the slot
  // files when records were deleted, writes metadata.bin and live_ids.bin
  // and empties the log; everything written so far is durable. Drops the
  // graph index when records were written. Errors: kIo, kCorruption.
  Status flush_wal_to_segment();
  // [shared] Counts and sizes.
  EngineStats stats() const;
  // [exclusive] Flushes and trims the files to their slot count; every file
  // is complete and durable. The engine stays usable; the directory lock
  // goes with the engine. Errors: kIo, kCorruption.
  Status close();

 private:
  friend struct EngineInternals;  // tests and benchmarks reach the state
  explicit VelqorEngine(std::unique_ptr<EngineState> state);

  std::unique_ptr<EngineState> state_;
};

}  // namespace velq
