// Exhaustive search: the candidates (a metadata filter turned into slots,
// index-answered parts of the filter (a conjunction of equalities, or one
// numeric range) from the metadata store's secondary indexes, anything else by
// testing every active record's metadata), each scored from its stored code,
// the best kept in a pool (ten times top_k when reranking), the pool
// optionally rescored at full precision, sorted, cut to top_k.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"
#include "search/slot_scorer.h"

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

// The blocked copy of the codes when a scan of `count` candidates could use
// its first pass, else null: with fewer candidates the first pass never runs
// and its tables would be built for nothing.
const BlockedCodes* first_pass_codes(const EngineState& state, std::size_t count);

// Exhaustive search of `list` (slots, in order) with a scorer already
// prepared for `query`: the best top_k results, best first.
std::vector<SearchResult> scan_candidates(const EngineState& state, const SlotScorer& scorer,
                                          std::span<const double> query, std::uint64_t top_k,
                                          std::span<const std::uint32_t> list);

// Candidates: every active slot when neither `filter` nor `candidates` is
// given; the filter's matches (index-answered where possible); the given
// slots in their order; or the given slots that match the filter. `query`
// holds d values; `prepared`, when given, is its prepared form (SlotScorer).
// Above 20,000 candidates scoring runs on the worker pool; the answer does
// not depend on the thread count.
Result<std::vector<SearchResult>> exhaustive_search_simd(
    const EngineState& state, std::span<const double> query, std::uint64_t top_k,
    const JsonObject* filter, std::optional<std::span<const std::uint32_t>> candidates,
    const PreparedIpQuery* prepared = nullptr);

}  // namespace velq
