#include "engine/velqor_engine.h"

#include "engine/db_files.h"
#include "engine/deletes.h"
#include "engine/engine_state.h"
#include "engine/flush.h"
#include "engine/index_build.h"
#include "engine/reads.h"
#include "engine/recovery.h"
#include "engine/searcher.h"
#include "engine/stats.h"
#include "engine/slot_scorer.h"
#include "engine/write_support.h"
#include "engine/writes.h"
#include "storage/io/backend.h"
#include "storage/io/file_io.h"
#include "storage/metadata/filter.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

StoredParameters parameters_of(const Manifest& m) { return {m.d, m.b, m.seed, m.metric}; }

}  // namespace

PreparedQueries::PreparedQueries() = default;
PreparedQueries::PreparedQueries(PreparedQueries&&) noexcept = default;
PreparedQueries& PreparedQueries::operator=(PreparedQueries&&) noexcept = default;
PreparedQueries::~PreparedQueries() = default;

const PreparedIpQuery* PreparedQueries::row(std::size_t i) const {
  return i < rows_.size() ? &rows_[i] : nullptr;
}

VelqorEngine::VelqorEngine(std::unique_ptr<EngineState> state) : state_(std::move(state)) {}
VelqorEngine::VelqorEngine(VelqorEngine&&) noexcept = default;
VelqorEngine& VelqorEngine::operator=(VelqorEngine&&) noexcept = default;
VelqorEngine::~VelqorEngine() = default;

Result<VelqorEngine> VelqorEngine::open_with_options(const EngineOptions& options) {
  VELQ_ASSIGN_OR_RETURN(std::unique_ptr<EngineState> state, open_engine_state(options));
  return VelqorEngine(std::move(state));
}

Result<std::string> VelqorEngine::local_directory(const std::string& uri,
                                                  std::string_view collection) {
  VELQ_ASSIGN_OR_RETURN(std::string root, StorageBackend::root_of(uri));
  if (collection.empty()) return root;
  return db_files::local_path(root, collection);
}

bool VelqorEngine::holds_database(const std::string& dir) {
  const Result<bool> exists =
      path_exists(*local_file_system(), db_files::local_path(dir, db_files::kManifest));
  return exists.ok() && *exists;
}

Result<StoredParameters> VelqorEngine::read_stored_parameters(const EngineOptions& options) {
  VELQ_ASSIGN_OR_RETURN(const std::unique_ptr<FileLock> lock,
                        lock_directory(*options.fs, options.local_dir));
  VELQ_ASSIGN_OR_RETURN(
      const std::vector<std::uint8_t> bytes,
      read_file(*options.fs, db_files::local_path(options.local_dir, db_files::kManifest)));
  VELQ_ASSIGN_OR_RETURN(const Manifest manifest, Manifest::parse(bytes));
  return parameters_of(manifest);
}

std::size_t VelqorEngine::max_property_depth() { return kMaxPropertyValueDepth; }

std::string VelqorEngine::property_too_deep_message() { return metadata_too_deep_message(); }

Status VelqorEngine::check_filter(const JsonObject& filter) {
  return filter::validate_filter_operators(filter);
}

StoredParameters VelqorEngine::stored_parameters() const { return parameters_of(state_->manifest); }

std::size_t VelqorEngine::dimension() const { return state_->d(); }

bool VelqorEngine::normalizes() const { return state_->normalize; }

std::size_t VelqorEngine::wal_flush_threshold() const { return state_->wal_flush_threshold; }

bool VelqorEngine::refuses_writes() const { return state_->write_refusal.has_value(); }

Status VelqorEngine::check_matches(const EngineOptions& options) const {
  return velq::check_matches(state_->manifest, options);
}

Status VelqorEngine::check_raw_range(std::span<const float> vector) const {
  return check_raw_vector_range(*state_, vector);
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

Status VelqorEngine::insert_many_with_mode(std::vector<BatchWriteItem> items, WriteMode mode) {
  return velq::insert_many_with_mode(*state_, std::move(items), mode);
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

bool VelqorEngine::contains(const std::string& id) const {
  return state_->id_pool.get_slot(id).has_value();
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

Result<std::vector<SearchResult>> VelqorEngine::search_with_filter_and_ann(
    std::span<const double> query, std::uint64_t top_k, const JsonObject* filter,
    std::optional<std::uint64_t> list_size, std::optional<bool> use_ann,
    const PreparedIpQuery* prepared) const {
  return velq::search_with_filter_and_ann(*state_, query, top_k, filter, list_size, use_ann,
                                          prepared);
}

PreparedQueries VelqorEngine::prepare_search_queries(std::span<const double> rows) const {
  PreparedQueries prepared;
  prepared.rows_ = velq::prepare_search_queries(*state_, rows);
  return prepared;
}

std::size_t VelqorEngine::query_rows_per_thread() { return ProdQuantizer::kQueryBlockRows; }

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
