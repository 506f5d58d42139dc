#include "engine/persist.h"

#include <span>
#include <string>

#include "engine/db_files.h"
#include "engine/id_lists.h"

namespace velq {

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Status publish(const EngineState& state, std::string_view name, std::span<const std::uint8_t> bytes) {
  return state.backend->publish(std::string(name), state.local_path(name), bytes);
}

}  // namespace

Status maybe_persist_state(EngineState& state, bool force) {
  if (!force && !state.index_ids_dirty && !state.delta_ids_dirty &&
      state.ops_since_persist < kOpsPerPersist) {
    return ok_status();
  }
  if (state.index_ids_dirty) {
    VELQ_RETURN_IF_ERROR(publish(state, db_files::kGraphIds, bytes_of(serialize_index_ids(state.index_ids))));
    state.index_ids_dirty = false;
  }
  if (state.delta_ids_dirty) {
    VELQ_RETURN_IF_ERROR(publish(state, db_files::kDeltaIds, bytes_of(serialize_index_ids(state.delta_ids))));
    state.delta_ids_dirty = false;
  }
  // The quantizer lives in quantizer.bin only; a persisted manifest never
  // holds one.
  Manifest snapshot = state.manifest;
  snapshot.quantizer.reset();
  VELQ_RETURN_IF_ERROR(publish(state, db_files::kManifest, bytes_of(snapshot.to_json())));
  state.ops_since_persist = 0;
  return ok_status();
}

Status persist_id_pool(EngineState& state) {
  return publish(state, db_files::kLiveIds, state.id_pool.serialize());
}

}  // namespace velq
