#include "index/graph_mend.h"

#include <algorithm>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "index/neighbor_selection.h"

namespace velq {

namespace {

// Entries of a node's initial list that the pass offers again, the best of
// those the refinement dropped. Drawn from a random sample of the whole
// level, they point towards the nearest other clusters; a few such long
// links tie the clusters together, and each costs scores to prune.
constexpr std::size_t kLongLinkCandidates = 4;

// For each target, the targets whose lists name it, ascending; stored as
// one array cut by offsets.
struct ReverseLinks {
  std::vector<std::size_t> starts;  // targets.size() + 1 entries
  std::vector<std::uint32_t> nodes;

  std::span<const std::uint32_t> of(std::size_t target) const {
    return {nodes.data() + starts[target], starts[target + 1] - starts[target]};
  }
};

ReverseLinks reverse_links(const std::vector<NodeList>& lists,
                           std::span<const std::uint32_t> targets) {
  constexpr std::uint32_t kNotTarget = UINT32_MAX;
  std::vector<std::uint32_t> index(lists.size(), kNotTarget);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    index[targets[i]] = static_cast<std::uint32_t>(i);
  }
  ReverseLinks out;
  out.starts.assign(targets.size() + 1, 0);
  for (const std::uint32_t x : targets) {
    for (const std::uint32_t v : lists[x]) {
      if (index[v] != kNotTarget) ++out.starts[index[v] + 1];
    }
  }
  for (std::size_t i = 0; i < targets.size(); ++i) out.starts[i + 1] += out.starts[i];
  out.nodes.resize(out.starts.back());
  std::vector<std::size_t> fill(out.starts.begin(), out.starts.end() - 1);
  // Targets ascend, so every reverse list comes out ascending.
  for (const std::uint32_t x : targets) {
    for (const std::uint32_t v : lists[x]) {
      if (index[v] != kNotTarget) out.nodes[fill[index[v]]++] = x;
    }
  }
  return out;
}

}  // namespace

void mend_level_lists(std::vector<NodeList>& lists, std::span<const std::uint32_t> targets,
                      std::span<const MendInput> inputs, std::size_t degree, double alpha,
                      const BuildScorer& scorer) {
  assert_eq(inputs.size(), targets.size(), "mend inputs per node");
  const ReverseLinks reverse = reverse_links(lists, targets);
  std::vector<NodeList> next(targets.size());
  parallel_for_each(targets.size(), 4, [&](std::size_t i) {
    const std::uint32_t node = targets[i];
    const NodeList& own = lists[node];
    const MendInput& input = inputs[i];
    assert_eq(input.list_scores.size(), own.size(), "scores of a mended list");
    // Own entries first, then the long and the random links (scores known),
    // then reverse links not offered yet (scored here): ties go to the
    // earlier one.
    std::vector<ScoredNode> candidates;
    for (std::size_t a = 0; a < own.size(); ++a) {
      candidates.push_back({own[a], input.list_scores[a]});
    }
    std::vector<ScoredNode> dropped;  // initial entries the refinement let go
    for (std::size_t a = 0; a < input.initial.nodes.size(); ++a) {
      const std::uint32_t x = input.initial.nodes[a];
      if (!std::binary_search(own.begin(), own.end(), x)) {
        dropped.push_back({x, input.initial.scores[a]});
      }
    }
    const ScoredList long_links = pick_best(dropped, kLongLinkCandidates);
    NodeList offered = own;  // ascending: what is already a candidate
    const auto offer = [&](const ScoredNode& c) {
      const auto at = std::lower_bound(offered.begin(), offered.end(), c.node);
      if (at != offered.end() && *at == c.node) return;
      offered.insert(at, c.node);
      candidates.push_back(c);
    };
    for (std::size_t a = 0; a < long_links.nodes.size(); ++a) {
      offer({long_links.nodes[a], long_links.scores[a]});
    }
    for (const ScoredNode& c : input.random_links) offer(c);
    NodeList unscored;
    for (const std::uint32_t x : reverse.of(i)) {
      if (!std::binary_search(offered.begin(), offered.end(), x)) unscored.push_back(x);
    }
    if (!unscored.empty()) {
      for (const ScoredNode& s : score_all(node, unscored, scorer)) candidates.push_back(s);
    }
    next[i] = pick_diverse(candidates, degree, alpha, scorer).nodes;
  });
  for (std::size_t i = 0; i < targets.size(); ++i) lists[targets[i]] = std::move(next[i]);
}

Level0Reach level0_reach(std::uint32_t n_nodes, std::uint32_t entry_point,
                         const std::function<NodeList(std::uint32_t node)>& list_at_0) {
  std::vector<std::uint8_t> named(n_nodes, 0);
  std::vector<std::uint8_t> reached(n_nodes, 0);
  std::vector<NodeList> lists(n_nodes);
  for (std::uint32_t node = 0; node < n_nodes; ++node) {
    lists[node] = list_at_0(node);
    for (const std::uint32_t v : lists[node]) {
      if (v < n_nodes) named[v] = 1;
    }
  }
  Level0Reach out;
  for (const std::uint8_t n : named) out.without_incoming += n == 0;
  if (entry_point >= n_nodes) return out;
  std::vector<std::uint32_t> frontier{entry_point};
  reached[entry_point] = 1;
  while (!frontier.empty()) {
    const std::uint32_t u = frontier.back();
    frontier.pop_back();
    ++out.reachable;
    for (const std::uint32_t v : lists[u]) {
      if (v < n_nodes && reached[v] == 0) {
        reached[v] = 1;
        frontier.push_back(v);
      }
    }
  }
  return out;
}

}  // namespace velq
