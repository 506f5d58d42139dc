// Turning a metadata filter into the slots a search may return. Index-answered
// parts of the filter (a conjunction of equalities, or one numeric range) take
// their slots from the metadata store's secondary indexes; anything else
// tests every active record's metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "engine/engine_state.h"

namespace velq {

// The slots the indexes give for `filter`, kept only when active (listed
// by the id pool), ascending; `exact` when they need no metadata test.
// Absent when the indexes cannot answer the filter.
struct IndexResolution {
  std::vector<std::uint32_t> slots;
  bool exact = false;
};
std::optional<IndexResolution> resolve_filter_via_index(const EngineState& state,
                                                        const JsonObject& filter);

// The active slots that match `filter`, ascending. A record without metadata
// never matches, except through an exact index answer, which tests nothing.
std::vector<std::uint32_t> filter_candidates(const EngineState& state, const JsonObject& filter);

// The given slots whose metadata matches `filter`, in their given order. No
// index is consulted.
std::vector<std::uint32_t> filter_given_candidates(const EngineState& state,
                                                   std::span<const std::uint32_t> slots,
                                                   const JsonObject& filter);

}  // namespace velq
