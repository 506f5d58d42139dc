#include "engine/searcher.h"

#include <algorithm>
#include <string>

#include "common/slot_bitmap.h"
#include "engine/filter_resolve.h"
#include "engine/search_results.h"
#include "engine/search_scan.h"
#include "engine/slot_scorer.h"
#include "search/search_route.h"

namespace velq {

namespace {

// The delta slots a search may return, in list order: those still active
// and, under a filter, among its matches `allowed`.
std::vector<std::uint32_t> searchable_delta(const EngineState& state, const SlotBitmap* allowed) {
  std::vector<std::uint32_t> out;
  for (const std::uint32_t s : state.index.delta()) {
    if (allowed != nullptr ? allowed->contains(s) : state.id_pool.is_listed(s)) out.push_back(s);
  }
  return out;
}

// The graph hits as slots, best first, none of them a delta slot: all of
// them when raw vectors are kept, else at most top_k.
std::vector<engine::ScoredSlot> graph_hits(const EngineState& state, const SlotScorer& scorer,
                                           std::uint64_t top_k, std::uint64_t list_size,
                                           const SlotBitmap* allowed) {
  // Neither count may exceed the graph's nodes: a beam that wide already
  // holds every node, so the walk is the same and nothing is sized by the
  // request.
  const EngineIndex& index = state.index;
  const std::uint64_t nodes = index.graph().n_nodes();
  const std::uint64_t wanted = state.rerank_enabled() ? saturating_mul(top_k, kGraphPoolPerResult)
                                                      : std::max(list_size, top_k);
  const std::size_t k = static_cast<std::size_t>(std::min(wanted, nodes));
  const std::size_t ef = static_cast<std::size_t>(std::min(std::max(list_size, wanted), nodes));

  std::vector<std::uint32_t> slots;
  const NodeBatchScorer score = [&](std::span<const std::uint32_t> nodes,
                                    std::span<double> scores) {
    slots.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) slots[i] = index.slot_of_node(nodes[i]);
    scorer.code_scan().walk_scores(slots, scores);
  };
  std::optional<SearchFilter> filter;
  if (allowed != nullptr) filter = SearchFilter{allowed, index.node_slots()};

  const std::vector<ScoredNode> hits = index.graph().search(k, ef, score, filter);
  // With raw vectors kept, every hit goes on to be rescored from them and
  // the best top_k are kept after: the code scores that ordered the walk
  // misorder close neighbours. Otherwise the first top_k are kept. A node
  // rewritten since the build is also a delta slot: the delta merge scores
  // it, so its graph hit is dropped before the cut, and the answer neither
  // names it twice nor comes up short.
  const std::uint64_t keep = state.live_vectors.has_value() ? hits.size() : top_k;
  std::vector<engine::ScoredSlot> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(hits.size(), keep)));
  for (const ScoredNode& hit : hits) {
    if (out.size() >= keep) break;
    const std::uint32_t slot = index.slot_of_node(hit.node);
    if (!index.in_delta(slot)) out.push_back({slot, hit.score});
  }
  // L2 walk scores round otherwise than the scan's (walk_scores): unless
  // raw vectors rescore them, the kept hits carry the scan's, so that delta
  // hits and the scores reported share one scale.
  if (state.metric() == DistanceMetric::kL2 && !state.live_vectors.has_value()) {
    for (engine::ScoredSlot& hit : out) hit.score = scorer.score(hit.slot);
  }
  return out;
}

}  // namespace

Result<std::vector<SearchResult>> search_with_filter_and_ann(
    const EngineState& state, std::span<const double> query, std::uint64_t top_k,
    const JsonObject* filter, std::optional<std::uint64_t> ann_search_list_size,
    std::optional<bool> use_ann, const PreparedIpQuery* prepared) {
  const std::uint64_t active = state.id_pool.active_count();
  if (top_k == 0 || active == 0) return std::vector<SearchResult>();

  std::vector<double> normalised;
  const std::span<const double> q = scored_query(state, query, normalised);
  if (state.index.road(active, use_ann) == SearchRoad::kScan) {
    return exhaustive_search_simd(state, q, top_k, filter, std::nullopt, prepared);
  }

  const std::uint64_t list_size =
      ann_search_list_size.value_or(state.index.params()->search_list_size);
  std::optional<SlotBitmap> allowed;
  if (filter != nullptr) {
    const std::vector<std::uint32_t> candidates = filter_candidates(state, *filter);
    if (candidates.empty()) return std::vector<SearchResult>();
    if (filter_too_selective(candidates.size(), active)) {
      // The candidates already match the filter: no second test, and no
      // delta merge (they cover every matching active slot).
      return exhaustive_search_simd(state, q, top_k, nullptr, std::span(candidates), prepared);
    }
    allowed.emplace(state.id_pool.slot_count(), candidates);
  }

  // One prepared query serves the graph walk and the delta scan.
  const std::vector<std::uint32_t> delta = searchable_delta(state, allowed ? &*allowed : nullptr);
  const SlotScorer scorer(state, q, first_pass_codes(state, delta.size()), prepared);
  const std::vector<engine::ScoredSlot> hits =
      graph_hits(state, scorer, top_k, list_size, allowed ? &*allowed : nullptr);
  std::vector<SearchResult> results = ranked_results(state, scorer, q, hits, top_k);
  if (delta.empty()) return results;
  std::vector<SearchResult> merged = scan_candidates(state, scorer, q, top_k, delta);
  results.insert(results.end(), std::make_move_iterator(merged.begin()),
                 std::make_move_iterator(merged.end()));
  sort_and_truncate(results, top_k);
  return results;
}

}  // namespace velq
