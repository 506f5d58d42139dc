// Exhaustive search: every candidate scored from its stored code, the best
// kept in a pool (ten times top_k when reranking), the pool optionally
// rescored at full precision, sorted, cut to top_k.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/engine_state.h"
#include "engine/engine_types.h"

namespace velq {

// Candidates: every active slot when neither `filter` nor `candidates` is
// given; the filter's matches (index-answered where possible); the given
// slots in their order; or the given slots that match the filter. `query`
// holds d values. Above 20,000 candidates scoring runs on the worker pool;
// the answer does not depend on the thread count.
Result<std::vector<SearchResult>> exhaustive_search_simd(
    const EngineState& state, std::span<const double> query, std::uint64_t top_k,
    const JsonObject* filter, std::optional<std::span<const std::uint32_t>> candidates);

}  // namespace velq
