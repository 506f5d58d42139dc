// The bookkeeping files: graph_ids.json, delta_ids.json, manifest.json and
// live_ids.bin, each written locally and through the provider (publish).
#pragma once

#include "common/result.h"
#include "engine/engine_state.h"

namespace velq {

// Operations between two persists of manifest.json when nothing forces one.
inline constexpr std::uint64_t kOpsPerPersist = 64;

// Writes the dirty id lists and manifest.json when `force` is set, an id list
// is dirty, or kOpsPerPersist operations have been counted since the last
// persist. A dirty flag is cleared only once its file is written both ways.
Status maybe_persist_state(EngineState& state, bool force);

// live_ids.bin, locally and through the provider.
Status persist_id_pool(EngineState& state);

}  // namespace velq
