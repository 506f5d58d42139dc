#include "search/search_scan.h"

#include <algorithm>

#include "search/search_results.h"
#include "engine/state/search_route.h"
#include "storage/metadata/filter.h"
#include "storage/metadata/filter_candidates.h"

namespace velq {

std::optional<IndexResolution> resolve_filter_via_index(const EngineState& state,
                                                        const JsonObject& filter) {
  std::optional<filter::IndexCandidates> found = filter::index_candidates(state.metadata, filter);
  if (!found) return std::nullopt;
  std::erase_if(found->slots, [&](std::uint32_t s) { return !state.slots.ids().is_listed(s); });
  return IndexResolution{std::move(found->slots), found->exact};
}

std::vector<std::uint32_t> filter_given_candidates(const EngineState& state,
                                                   std::span<const std::uint32_t> slots,
                                                   const JsonObject& filter) {
  std::vector<std::uint32_t> out;
  for (const std::uint32_t s : slots) {
    const MetadataEntry* stored = state.metadata.find(s);
    if (stored != nullptr && filter::metadata_matches_filter(stored->metadata.properties, filter)) {
      out.push_back(s);
    }
  }
  return out;
}

std::vector<std::uint32_t> filter_candidates(const EngineState& state, const JsonObject& filter) {
  // The indexes first: a selective filter then never lists every active slot.
  std::optional<IndexResolution> resolved = resolve_filter_via_index(state, filter);
  if (!resolved) return filter_given_candidates(state, state.slots.ids().active_slots(), filter);
  if (resolved->exact) return std::move(resolved->slots);
  return filter_given_candidates(state, resolved->slots, filter);
}

namespace {

std::vector<std::uint32_t> candidate_list(const EngineState& state, const JsonObject* filter,
                                          std::optional<std::span<const std::uint32_t>> given) {
  if (given.has_value()) {
    if (filter == nullptr) return {given->begin(), given->end()};
    return filter_given_candidates(state, *given, *filter);
  }
  if (filter == nullptr) return state.slots.ids().active_slots();
  return filter_candidates(state, *filter);
}

}  // namespace

const BlockedCodes* first_pass_codes(const EngineState& state, std::size_t count) {
  if (!state.slots.blocked() || count < kFirstPassMin) return nullptr;
  return &*state.slots.blocked();
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
