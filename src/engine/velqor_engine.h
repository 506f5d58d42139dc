// One open database. A thin front: every method hands the state to the unit
// that does the work. Not thread-safe by itself: the Python layer guards it
// with a reader-writer lock (const methods under the shared side).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/engine_options.h"
#include "engine/engine_state.h"
#include "engine/engine_types.h"
#include "engine/index_build.h"

namespace velq {

class VelqorEngine {
 public:
  static Result<VelqorEngine> open_with_options(const EngineOptions& options);

  Status write_vector_entry(std::string id, std::span<const double> vector, JsonObject metadata,
                            std::optional<std::string> document);
  Status insert_with_document(std::string id, std::span<const double> vector,
                              JsonObject metadata, std::optional<std::string> document);
  Status update_with_document(std::string id, std::span<const double> vector,
                              JsonObject metadata, std::optional<std::string> document);
  Status update_metadata_only(const std::string& id, JsonObject metadata,
                              std::optional<std::string> document);
  // Writes `rows` (the values read in place; ids, metadata and documents
  // moved out) in chunks of kBatchChunkItems, each logged with one append.
  Status insert_many_with_mode(WriteRows rows, WriteMode mode);

  Result<bool> delete_id(const std::string& id);
  Result<std::uint64_t> delete_batch(const std::vector<std::string>& ids);
  Result<std::uint64_t> delete_where(const JsonObject& filter);

  Result<std::optional<GetResult>> get(const std::string& id) const;
  Result<std::vector<std::optional<GetResult>>> get_many(const std::vector<std::string>& ids) const;
  Result<std::uint64_t> count_with_filter(const JsonObject* filter) const;
  Result<std::vector<std::string>> list_with_filter_page(const JsonObject* filter,
                                                         std::optional<std::uint64_t> limit,
                                                         std::uint64_t offset) const;
  Result<std::unordered_map<std::string, std::uint64_t>> list_metadata_values(
      const std::string& field) const;

  Result<std::vector<SearchResult>> exhaustive_search_simd(
      std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
      std::optional<std::span<const std::uint32_t>> candidates) const;
  Result<std::vector<SearchResult>> search_with_filter_and_ann(
      std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
      std::optional<std::uint64_t> ann_search_list_size, std::optional<bool> use_ann,
      const PreparedIpQuery* prepared = nullptr) const;
  // Prepared forms of rows.size() / d queries for search_with_filter_and_ann
  // (prepare_search_queries in slot_scorer.h); possibly empty.
  std::vector<PreparedIpQuery> prepare_search_queries(std::span<const double> rows) const;
  std::vector<double> live_raw_vector_at_slot(std::uint32_t slot) const;

  Status create_index_with_params(const IndexParams& params);
  Status create_index_incremental(const IndexParams& params);

  Status flush_wal_to_segment();
  EngineStats stats() const;
  Status close();

  const EngineState& state() const { return *state_; }

 private:
  explicit VelqorEngine(std::unique_ptr<EngineState> state) : state_(std::move(state)) {}

  std::unique_ptr<EngineState> state_;
};

}  // namespace velq
