// Deleting records: logged, forgotten by the id pool, flagged in the slot
// until the next compaction; every deletion drops the index.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/state/engine_state.h"

namespace velq {

// True when the id was live.
Result<bool> delete_id(EngineState& state, const std::string& id);
// How many of `ids` were live (an id listed twice counts once).
Result<std::uint64_t> delete_batch(EngineState& state, const std::vector<std::string>& ids);
// Deletes every live record whose metadata matches `filter`.
Result<std::uint64_t> delete_where(EngineState& state, const JsonObject& filter);

}  // namespace velq
