#include "storage/graph/neighbor_selection.h"

#include <algorithm>

#include "common/panic.h"

namespace velq {

std::vector<ScoredNode> score_all(std::uint32_t node, std::span<const std::uint32_t> candidates,
                                  const BuildScorer& scorer) {
  std::vector<ScoredNode> scored = scorer(node, candidates);
  assert_eq(scored.size(), candidates.size(), "graph scorer results per candidate");
  for (std::size_t i = 0; i < scored.size(); ++i) scored[i].node = candidates[i];
  return scored;
}

ScoredList pick_best(const std::vector<ScoredNode>& scored, std::size_t degree) {
  // A partial sort by (score, position) finds the same first `degree` as a
  // stable sort by score, without ordering the rest.
  struct Ranked {
    double score;
    std::uint32_t node;
    std::uint32_t position;
  };
  std::vector<Ranked> ranked(scored.size());
  for (std::size_t i = 0; i < scored.size(); ++i) {
    ranked[i] = {scored[i].score, scored[i].node, static_cast<std::uint32_t>(i)};
  }
  const std::size_t keep = std::min(degree, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + keep, ranked.end(),
                    [](const Ranked& a, const Ranked& b) {
                      if (ranks_before(a.score, b.score)) return true;
                      if (ranks_before(b.score, a.score)) return false;
                      return a.position < b.position;
                    });
  ranked.resize(keep);
  std::sort(ranked.begin(), ranked.end(),
            [](const Ranked& a, const Ranked& b) { return a.node < b.node; });
  ScoredList out;
  out.nodes.reserve(keep);
  out.scores.reserve(keep);
  for (const Ranked& r : ranked) {
    out.nodes.push_back(r.node);
    out.scores.push_back(r.score);
  }
  return out;
}

}  // namespace velq
