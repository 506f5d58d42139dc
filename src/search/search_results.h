// The last steps shared by both search roads: hits become SearchResults (id,
// metadata, document, and a full-precision score when reranking), then a
// stable sort, best first, and the cut to top_k.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"
#include "search/search_pool.h"
#include "search/slot_scorer.h"

namespace velq {

// The best top_k hits as results, best first: what building one result per
// hit, then sort_and_truncate, gives, with ids and metadata read only for the
// results kept. The id is the empty string for a slot that is no longer
// active. With reranking the score is recomputed from the raw vector when
// raw vectors are kept, else against the dequantized code times the stored
// norm: decoded when that is cheap, otherwise from the terms of `scorer`
// (prepared for `query`), which for L2 give the score the scan already
// computed, so it stays. Without reranking the hit's score stays.
std::vector<SearchResult> ranked_results(const EngineState& state, const SlotScorer& scorer,
                                         std::span<const double> query,
                                         std::span<const engine::ScoredSlot> hits,
                                         std::uint64_t top_k);

// Stable sort in which a result goes before another only when its score is
// greater; NaN scores go after every number and keep their order among
// themselves (a bare `>` is no strict weak order once NaN appears). Then
// keeps the first top_k.
void sort_and_truncate(std::vector<SearchResult>& results, std::uint64_t top_k);

// a * b, or the largest value when that overflows: sizes derived from a
// caller's top_k.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

}  // namespace velq
