// Live-file compaction: the live records move to slots 0..k-1 in their
// previous order, and deleted slots with their metadata are dropped, in
// live_codes.bin, live_vectors.bin, metadata.bin and live_ids.bin together
// (one commit, see compaction_switch.h).
#pragma once

#include "common/result.h"
#include "engine/state/engine_state.h"

namespace velq {

// REQUIRES: the index was dropped and that drop persisted, since no index
// may name old slots once the new numbering is on disk. On success the state
// holds the new id pool, metadata and live files. An error before the commit
// point leaves the old files and state in use; one after it leaves every
// later write refused until the database is reopened (open finishes the
// switch).
Status compact_live_files(EngineState& state);

}  // namespace velq
