// The engine's one search entry: the query normalised when the database
// normalises, then the road search_route chooses (the graph walk or the
// exhaustive scan), full-precision rescoring of the kept hits, and the records written
// since the last build (the delta slots) merged in by an exhaustive scan.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"

namespace velq {

// At most top_k results, best first. `query` holds d values;
// `ann_search_list_size` overrides the index's stored search list size;
// `use_ann` forces the road when set (see choose_road); `prepared` is
// query's entry of prepare_search_queries (slot_scorer.h), or null to prepare
// it here. Safe to run concurrently with itself under the shared lock.
Result<std::vector<SearchResult>> search_with_filter_and_ann(
    const EngineState& state, std::span<const double> query, std::uint64_t top_k,
    const JsonObject* filter, std::optional<std::uint64_t> ann_search_list_size,
    std::optional<bool> use_ann, const PreparedIpQuery* prepared = nullptr);

}  // namespace velq
