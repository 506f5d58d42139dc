#include "engine/velqor_engine.h"

#include "engine/deletes.h"
#include "engine/flush.h"
#include "engine/index_build.h"
#include "engine/raw_vectors.h"
#include "engine/reads.h"
#include "engine/recovery.h"
#include "engine/searcher.h"
#include "engine/search_scan.h"
#include "engine/stats.h"
#include "engine/writes.h"

namespace velq {

Result<VelqorEngine> VelqorEngine::open_with_options(const EngineOptions& options) {
  VELQ_ASSIGN_OR_RETURN(std::unique_ptr<EngineState> state, open_engine_state(options));
  return VelqorEngine(std::move(state));
}

Status VelqorEngine::write_vector_entry(std::string id, std::span<const double> vector,
                                        JsonObject metadata, std::optional<std::string> document) {
  return velq::write_vector_entry(*state_, std::move(id), vector, std::move(metadata),
                                  std::move(document));
}

Status VelqorEngine::insert_with_document(std::string id, std::span<const double> vector,
                                          JsonObject metadata,
                                          std::optional<std::string> document) {
  return velq::insert_with_document(*state_, std::move(id), vector, std::move(metadata),
                                    std::move(document));
}

Status VelqorEngine::update_with_document(std::string id, std::span<const double> vector,
                                          JsonObject metadata,
                                          std::optional<std::string> document) {
  return velq::update_with_document(*state_, std::move(id), vector, std::move(metadata),
                                    std::move(document));
}

Status VelqorEngine::update_metadata_only(const std::string& id, JsonObject metadata,
                                          std::optional<std::string> document) {
  return velq::update_metadata_only(*state_, id, std::move(metadata), std::move(document));
}

Status VelqorEngine::insert_many_with_mode(WriteRows rows, WriteMode mode) {
  return write_rows(*state_, rows, mode);
}

Result<bool> VelqorEngine::delete_id(const std::string& id) { return velq::delete_id(*state_, id); }

Result<std::uint64_t> VelqorEngine::delete_batch(const std::vector<std::string>& ids) {
  return velq::delete_batch(*state_, ids);
}

Result<std::uint64_t> VelqorEngine::delete_where(const JsonObject& filter) {
  return velq::delete_where(*state_, filter);
}

Result<std::optional<GetResult>> VelqorEngine::get(const std::string& id) const {
  return get_record(*state_, id);
}

Result<std::vector<std::optional<GetResult>>> VelqorEngine::get_many(
    const std::vector<std::string>& ids) const {
  return velq::get_many(*state_, ids);
}

Result<std::uint64_t> VelqorEngine::count_with_filter(const JsonObject* filter) const {
  return velq::count_with_filter(*state_, filter);
}

Result<std::vector<std::string>> VelqorEngine::list_with_filter_page(
    const JsonObject* filter, std::optional<std::uint64_t> limit, std::uint64_t offset) const {
  return velq::list_with_filter_page(*state_, filter, limit, offset);
}

Result<std::unordered_map<std::string, std::uint64_t>> VelqorEngine::list_metadata_values(
    const std::string& field) const {
  return velq::list_metadata_values(*state_, field);
}

Result<std::vector<SearchResult>> VelqorEngine::exhaustive_search_simd(
    std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
    std::optional<std::span<const std::uint32_t>> candidates) const {
  return velq::exhaustive_search_simd(*state_, query, top_k, filter, candidates);
}

Result<std::vector<SearchResult>> VelqorEngine::search_with_filter_and_ann(
    std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
    std::optional<std::uint64_t> ann_search_list_size, std::optional<bool> use_ann,
    const PreparedIpQuery* prepared) const {
  return velq::search_with_filter_and_ann(*state_, query, top_k, filter, ann_search_list_size,
                                          use_ann, prepared);
}

std::vector<PreparedIpQuery> VelqorEngine::prepare_search_queries(
    std::span<const double> rows) const {
  return velq::prepare_search_queries(*state_, rows);
}

std::vector<double> VelqorEngine::live_raw_vector_at_slot(std::uint32_t slot) const {
  return velq::live_raw_vector_at_slot(*state_, slot);
}

Status VelqorEngine::create_index_with_params(const IndexParams& params) {
  return velq::create_index_with_params(*state_, params);
}

Status VelqorEngine::create_index_incremental(const IndexParams& params) {
  return velq::create_index_incremental(*state_, params);
}

Status VelqorEngine::flush_wal_to_segment() { return velq::flush_wal_to_segment(*state_); }

EngineStats VelqorEngine::stats() const { return engine_stats(*state_); }

Status VelqorEngine::close() { return close_engine(*state_); }

}  // namespace velq
