#include "engine/writes.h"

#include <algorithm>

#include "engine/batch_chunk.h"
#include "engine/slot_writes.h"
#include "engine/write_support.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

Status write_vector_entry(EngineState& state, std::string id, std::span<const double> vector,
                          JsonObject metadata, std::optional<std::string> document) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  std::vector<float> values(vector.size());
  VELQ_RETURN_IF_ERROR(narrow_vector(vector, values));
  VELQ_RETURN_IF_ERROR(check_raw_vector_range(state, values));
  const float norm = vector_norm(values);
  std::vector<float> unit(values.size());
  VELQ_RETURN_IF_ERROR(unit_copy(values, norm, unit));
  const float stored_norm = state.normalize ? 1.0f : norm;

  VectorMetadata record(std::move(metadata), document);
  std::string json;
  json.reserve(128);
  VELQ_RETURN_IF_ERROR(append_metadata_json(json, record));
  if (!state.id_pool.get_slot(id)) {
    // An id the pool would refuse must never reach the log: replaying it
    // would fail every later open. Nor may a write whose slot has no
    // storage: on a full disk it is refused here, not by a fault later.
    VELQ_RETURN_IF_ERROR(state.id_pool.check_new_id(id));
    VELQ_RETURN_IF_ERROR(reserve_new_slots(state, 1));
  }

  WalEntry entry = make_write_entry(std::move(id), state.quantizer->quantize(unit), stored_norm,
                                    std::move(json));
  VELQ_RETURN_IF_ERROR(log_entries(state, std::span(&entry, 1)));
  state.pending.push_back({entry.id, false});

  VELQ_ASSIGN_OR_RETURN(const std::uint32_t slot,
                        live_alloc_or_update(state, entry.id, entry.mse_indices, entry.qjl_bits,
                                             entry.gamma, entry.norm));
  state.index.note_written(std::span(&slot, 1));
  live_save_raw_vector(state, slot, state.normalize ? unit : values);
  VELQ_RETURN_IF_ERROR(state.metadata.put(slot, record));
  return finish_operations(state, 1);
}

Status insert_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document) {
  if (state.id_pool.get_slot(id)) return already_exists(id);
  return write_vector_entry(state, std::move(id), vector, std::move(metadata),
                            std::move(document));
}

Status update_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document) {
  if (!state.id_pool.get_slot(id)) return does_not_exist(id);
  return write_vector_entry(state, std::move(id), vector, std::move(metadata),
                            std::move(document));
}

Status update_metadata_only(EngineState& state, const std::string& id, JsonObject metadata,
                            std::optional<std::string> document) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  const std::optional<std::uint32_t> slot = state.id_pool.get_slot(id);
  if (!slot) return does_not_exist(id);
  VectorMetadata record = state.metadata.get(*slot).value_or(VectorMetadata());
  if (!metadata.empty()) record.properties = std::move(metadata);
  if (document) record.set_document(*document);
  return state.metadata.put(*slot, record);
}

Status insert_many_with_mode(EngineState& state, std::vector<BatchWriteItem> items,
                             WriteMode mode) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  const std::span<BatchWriteItem> all(items);
  for (std::size_t first = 0; first < all.size(); first += kBatchChunkItems) {
    const std::span<BatchWriteItem> chunk = all.subspan(first, std::min(kBatchChunkItems, all.size() - first));
    VELQ_ASSIGN_OR_RETURN(const std::size_t new_ids, check_chunk_ids(state, chunk, mode));
    VELQ_ASSIGN_OR_RETURN(PreparedChunk prepared, prepare_chunk(state, chunk));
    VELQ_RETURN_IF_ERROR(commit_chunk(state, std::move(prepared), new_ids));
  }
  return finish_operations(state, items.size());
}

}  // namespace velq
