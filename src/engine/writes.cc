#include "engine/writes.h"

#include <algorithm>

#include "engine/batch_chunk.h"
#include "engine/write_support.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

// One record as rows of one: the single writes take the batch's path.
Status write_one(EngineState& state, std::string id, std::span<const double> vector,
                 JsonObject metadata, std::optional<std::string> document, WriteMode mode) {
  std::vector<float> values(vector.size());
  VELQ_RETURN_IF_ERROR(narrow_vector(vector, values));
  const WriteRows rows{values, std::span(&id, 1), std::span(&metadata, 1), std::span(&document, 1)};
  return write_rows(state, rows, mode);
}

}  // namespace

Status write_rows(EngineState& state, WriteRows rows, WriteMode mode) {
  VELQ_RETURN_IF_ERROR(state.log.check_writable());
  const std::size_t count = rows.count();
  if (rows.values.size() != count * state.d() || rows.metadatas.size() != count ||
      rows.documents.size() != count) {
    return Error::invalid_argument("write of " + std::to_string(count) + " ids with " +
                                   std::to_string(rows.values.size()) + " values, " +
                                   std::to_string(rows.metadatas.size()) + " metadata and " +
                                   std::to_string(rows.documents.size()) + " documents at d=" +
                                   std::to_string(state.d()));
  }
  for (std::size_t first = 0; first < count; first += kBatchChunkItems) {
    const WriteRows chunk = rows.slice(first, std::min(kBatchChunkItems, count - first));
    VELQ_ASSIGN_OR_RETURN(const std::size_t new_ids, check_chunk_ids(state, chunk.ids, mode));
    VELQ_ASSIGN_OR_RETURN(PreparedChunk prepared, prepare_chunk(state, chunk));
    VELQ_RETURN_IF_ERROR(commit_chunk(state, std::move(prepared), new_ids));
  }
  return finish_operations(state, count);
}

Status write_vector_entry(EngineState& state, std::string id, std::span<const double> vector,
                          JsonObject metadata, std::optional<std::string> document) {
  return write_one(state, std::move(id), vector, std::move(metadata), std::move(document),
                   WriteMode::kUpsert);
}

Status insert_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document) {
  return write_one(state, std::move(id), vector, std::move(metadata), std::move(document),
                   WriteMode::kInsert);
}

Status update_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document) {
  return write_one(state, std::move(id), vector, std::move(metadata), std::move(document),
                   WriteMode::kUpdate);
}

Status update_metadata_only(EngineState& state, const std::string& id, JsonObject metadata,
                            std::optional<std::string> document) {
  VELQ_RETURN_IF_ERROR(state.log.check_writable());
  const std::optional<std::uint32_t> slot = state.slots.ids().get_slot(id);
  if (!slot) return does_not_exist(id);
  VectorMetadata record = state.metadata.get(*slot).value_or(VectorMetadata());
  if (!metadata.empty()) record.properties = std::move(metadata);
  if (document) record.set_document(*document);
  return state.metadata.put(*slot, record);
}

}  // namespace velq
