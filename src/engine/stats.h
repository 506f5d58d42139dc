// Counts and sizes of an open database, and bringing all of its files to a
// consistent, complete state.
#pragma once

#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"

namespace velq {

EngineStats engine_stats(const EngineState& state);
// Flushes, cuts the live files to their slot count, writes metadata.bin,
// live_ids.bin and the bookkeeping files. The engine stays usable.
Status close_engine(EngineState& state);

}  // namespace velq
