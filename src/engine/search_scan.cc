#include "engine/search_scan.h"

#include <algorithm>

#include "engine/filter_resolve.h"
#include "engine/search_results.h"
#include "search/search_route.h"

namespace velq {

namespace {

std::vector<std::uint32_t> candidate_list(const EngineState& state, const JsonObject* filter,
                                          std::optional<std::span<const std::uint32_t>> given) {
  if (given.has_value()) {
    if (filter == nullptr) return {given->begin(), given->end()};
    return filter_given_candidates(state, *given, *filter);
  }
  if (filter == nullptr) return state.id_pool.active_slots();
  return filter_candidates(state, *filter);
}

}  // namespace

const BlockedCodes* first_pass_codes(const EngineState& state, std::size_t count) {
  if (!state.blocked_codes || count < kFirstPassMin) return nullptr;
  return &*state.blocked_codes;
}

std::vector<SearchResult> scan_candidates(const EngineState& state, const SlotScorer& scorer,
                                          std::span<const double> query, std::uint64_t top_k,
                                          std::span<const std::uint32_t> list) {
  if (top_k == 0 || list.empty()) return {};
  // The pool never needs more room than there are candidates: with fewer
  // candidates than its capacity it evicts nothing either way.
  const std::uint64_t wanted = saturating_mul(top_k, state.rerank_enabled() ? kScanPoolPerResult : 1);
  const std::size_t pool_size = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, list.size()));
  const engine::SearchPool pool = scorer.code_scan().run(list, pool_size).pool;
  return ranked_results(state, scorer, query, pool.entries(), top_k);
}

Result<std::vector<SearchResult>> exhaustive_search_simd(
    const EngineState& state, std::span<const double> query, std::uint64_t top_k,
    const JsonObject* filter, std::optional<std::span<const std::uint32_t>> candidates,
    const PreparedIpQuery* prepared) {
  if (top_k == 0) return std::vector<SearchResult>();
  const std::vector<std::uint32_t> list = candidate_list(state, filter, candidates);
  if (list.empty()) return std::vector<SearchResult>();
  const SlotScorer scorer(state, query, first_pass_codes(state, list.size()), prepared);
  return scan_candidates(state, scorer, query, top_k, list);
}

}  // namespace velq
