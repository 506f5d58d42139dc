#include "engine/flush.h"

#include <optional>
#include <vector>

#include "engine/live_compaction.h"
#include "engine/persist.h"

namespace velq {

namespace {

// Hands the live files to the provider. They are released meanwhile so the
// provider sees whole files; every exit path maps them again.
Status push_live_files(EngineState& state) {
  ReleasedSlotFile codes_released = state.live_codes.release_handles();
  std::optional<ReleasedSlotFile> vectors_released;
  if (state.live_vectors) vectors_released.emplace(state.live_vectors->release_handles());
  VELQ_RETURN_IF_ERROR(state.backend->push_file(std::string(db_files::kLiveCodes),
                                                state.local_path(db_files::kLiveCodes)));
  if (state.live_vectors) {
    VELQ_RETURN_IF_ERROR(state.backend->push_file(std::string(db_files::kLiveVectors),
                                                  state.local_path(db_files::kLiveVectors)));
    VELQ_RETURN_IF_ERROR(vectors_released->reacquire());
  }
  return codes_released.reacquire();
}

Status sync_live_files(EngineState& state) {
  VELQ_RETURN_IF_ERROR(state.live_codes.flush());
  if (state.live_vectors) VELQ_RETURN_IF_ERROR(state.live_vectors->flush());
  return ok_status();
}

}  // namespace

Status flush_wal_to_segment(EngineState& state) {
  if (state.pending.empty()) {
    // Metadata-only updates are not logged; flushing is how they become
    // durable.
    return state.metadata.flush();
  }
  std::vector<SegmentRecord> records = std::move(state.pending);
  state.pending.clear();
  VELQ_RETURN_IF_ERROR(state.segments.flush_batch(std::move(records)));

  if (state.needs_compaction) {
    // No index naming old slots may outlive the renumbering.
    state.index.drop();
    VELQ_RETURN_IF_ERROR(maybe_persist_state(state, /*force=*/false));
    VELQ_RETURN_IF_ERROR(compact_live_files(state));
    state.needs_compaction = false;
  }
  VELQ_RETURN_IF_ERROR(sync_live_files(state));
  // The log is the only copy of the flushed writes until metadata.bin and
  // live_ids.bin hold them, so it is emptied last, right after them.
  VELQ_RETURN_IF_ERROR(state.metadata.flush());
  VELQ_RETURN_IF_ERROR(persist_id_pool(state));
  VELQ_RETURN_IF_ERROR(state.wal.truncate());
  VELQ_RETURN_IF_ERROR(push_live_files(state));

  state.index.drop();
  state.manifest.vector_count = state.id_pool.active_count();
  return maybe_persist_state(state, /*force=*/false);
}

}  // namespace velq
