#include "engine/stats.h"

#include <string>

#include "engine/db_files.h"
#include "engine/flush.h"
#include "engine/persist.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

// Bytes the provider reports for `key`; 0 when it cannot tell.
std::uint64_t provider_size(const EngineState& state, std::string_view key) {
  const Result<std::uint64_t> size = state.backend->provider->size(std::string(key));
  return size.ok() ? *size : 0;
}

std::uint64_t total_disk_bytes(const EngineState& state) {
  std::uint64_t total = state.segments.total_disk_size();
  for (const std::string_view key : {db_files::kManifest, db_files::kMetadata, db_files::kWal,
                                     db_files::kQuantizer, db_files::kGraph, db_files::kGraphIds,
                                     db_files::kLiveCodes}) {
    total += provider_size(state, key);
  }
  if (state.rerank_enabled()) total += provider_size(state, db_files::kLiveVectors);
  return total;
}

std::uint64_t metadata_bytes_estimate(const EngineState& state) {
  std::uint64_t total = 0;
  for (const MetadataEntry& entry : state.metadata.entries()) {
    const Result<std::string> text = metadata_to_json(entry.metadata);
    total += (text.ok() ? text->size() : 0) + 4;
  }
  return total;
}

}  // namespace

EngineStats engine_stats(const EngineState& state) {
  EngineStats s;
  s.vector_count = state.id_pool.active_count();
  s.segment_count = state.segments.segments().size();
  s.buffered_vectors = state.pending.size();
  s.dimension = state.d();
  s.bits = state.manifest.b;
  s.total_disk_bytes = total_disk_bytes(state);
  s.has_index = state.index.usable();
  s.index_nodes = state.index.node_slots().size();
  s.live_slot_count = state.live_codes.len();
  s.live_codes_bytes = state.live_codes.stride() * state.live_codes.len();
  s.live_id_count = state.id_pool.active_count();
  s.live_vectors_count = state.id_pool.active_count();
  if (state.live_vectors.has_value()) {
    s.live_vectors_bytes_estimate = state.live_vectors->stride() * state.live_vectors->len();
  }
  s.metadata_entries = state.metadata.size();
  s.metadata_bytes_estimate = metadata_bytes_estimate(state);
  s.ann_slot_count = state.index.node_slots().size();
  const GraphManager& graph = state.index.graph();
  s.graph_nodes = graph.is_mapped() ? graph.n_nodes() : 0;
  s.delta_size = state.index.delta().size();
  return s;
}

Status close_engine(EngineState& state) {
  VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  const std::uint32_t slots = state.id_pool.slot_count();
  VELQ_RETURN_IF_ERROR(state.live_codes.truncate_to(slots));
  if (state.live_vectors.has_value()) VELQ_RETURN_IF_ERROR(state.live_vectors->truncate_to(slots));
  VELQ_RETURN_IF_ERROR(state.metadata.flush());
  VELQ_RETURN_IF_ERROR(persist_id_pool(state));
  return maybe_persist_state(state, true);
}

}  // namespace velq
