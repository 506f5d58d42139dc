#include "engine/flush.h"

#include "engine/live_compaction.h"
#include "engine/persist.h"

namespace velq {

Status flush_wal_to_segment(EngineState& state) {
  if (state.log.pending().empty()) {
    // Metadata-only updates are not logged; flushing is how they become
    // durable.
    return state.metadata.flush();
  }
  VELQ_RETURN_IF_ERROR(state.segments.flush_batch(state.log.take_pending()));

  if (state.needs_compaction) {
    // No index naming old slots may outlive the renumbering.
    state.index.drop();
    VELQ_RETURN_IF_ERROR(maybe_persist_state(state, /*force=*/false));
    VELQ_RETURN_IF_ERROR(compact_live_files(state));
    state.needs_compaction = false;
  }
  VELQ_RETURN_IF_ERROR(state.slots.sync());
  // The log is the only copy of the flushed writes until metadata.bin and
  // live_ids.bin hold them, so it is emptied last, right after them.
  VELQ_RETURN_IF_ERROR(state.metadata.flush());
  VELQ_RETURN_IF_ERROR(persist_id_pool(state));
  VELQ_RETURN_IF_ERROR(state.log.truncate());
  VELQ_RETURN_IF_ERROR(state.slots.push(*state.backend, state.local_dir));

  state.index.drop();
  state.manifest.vector_count = state.slots.ids().active_count();
  return maybe_persist_state(state, /*force=*/false);
}

}  // namespace velq
