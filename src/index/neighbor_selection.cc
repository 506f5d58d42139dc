#include "index/neighbor_selection.h"

#include <algorithm>

#include "common/panic.h"

namespace velq {

namespace {

// The kept entries as a list ascending by id.
ScoredList ascending(std::vector<ScoredNode> kept) {
  std::sort(kept.begin(), kept.end(),
            [](const ScoredNode& a, const ScoredNode& b) { return a.node < b.node; });
  ScoredList out;
  out.nodes.reserve(kept.size());
  out.scores.reserve(kept.size());
  for (const ScoredNode& k : kept) {
    out.nodes.push_back(k.node);
    out.scores.push_back(k.score);
  }
  return out;
}

}  // namespace

std::vector<ScoredNode> score_all(std::uint32_t node, std::span<const std::uint32_t> candidates,
                                  const BuildScorer& scorer) {
  std::vector<ScoredNode> scored = scorer(node, candidates);
  assert_eq(scored.size(), candidates.size(), "graph scorer results per candidate");
  for (std::size_t i = 0; i < scored.size(); ++i) scored[i].node = candidates[i];
  return scored;
}

ScoredList pick_best(const std::vector<ScoredNode>& scored, std::size_t degree) {
  // (score, position) is a total order, so selecting the first `degree` by
  // it and sorting just those gives what a stable sort by score would put
  // first, without ordering the rest: linear in the candidates, where a
  // partial sort pays a heap step for most of them.
  struct Ranked {
    ScoredNode entry;
    std::uint32_t position;
  };
  std::vector<Ranked> ranked(scored.size());
  for (std::size_t i = 0; i < scored.size(); ++i) {
    ranked[i] = {scored[i], static_cast<std::uint32_t>(i)};
  }
  const std::size_t keep = std::min(degree, ranked.size());
  const auto first = [](const Ranked& a, const Ranked& b) {
    if (ranks_before(a.entry.score, b.entry.score)) return true;
    if (ranks_before(b.entry.score, a.entry.score)) return false;
    return a.position < b.position;
  };
  const auto kept_end = ranked.begin() + static_cast<std::ptrdiff_t>(keep);
  if (keep < ranked.size()) std::nth_element(ranked.begin(), kept_end, ranked.end(), first);
  std::sort(ranked.begin(), kept_end, first);
  std::vector<ScoredNode> kept(keep);
  for (std::size_t i = 0; i < keep; ++i) kept[i] = ranked[i].entry;
  return ascending(std::move(kept));
}

bool covers(double s_kc, double s_pc, double s_best, double alpha) {
  return alpha * (s_best - s_kc) < s_best - s_pc;
}

ScoredList pick_diverse(const std::vector<ScoredNode>& scored, std::size_t degree, double alpha,
                        const BuildScorer& scorer) {
  std::vector<ScoredNode> ranked = scored;
  sort_best_first(ranked);
  std::vector<ScoredNode> kept;
  NodeList kept_nodes;
  // Kept neighbours are asked in batches of 2, 4, 8, ..., closest first:
  // the closest ones cover most candidates, and the rest need not be
  // scored then.
  for (const ScoredNode& c : ranked) {
    if (kept.size() >= degree) break;
    bool covered = false;
    for (std::size_t first = 0, size = 2; first < kept_nodes.size() && !covered;
         first += size, size *= 2) {
      const std::span<const std::uint32_t> batch =
          std::span(kept_nodes).subspan(first, std::min(size, kept_nodes.size() - first));
      for (const ScoredNode& k : score_all(c.node, batch, scorer)) {
        covered = covered || covers(k.score, c.score, ranked.front().score, alpha);
      }
    }
    if (covered) continue;
    kept.push_back(c);
    kept_nodes.push_back(c.node);
  }
  return ascending(std::move(kept));
}

}  // namespace velq
