// Growing a graph by new nodes without rebuilding the old ones.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "index/graph_build.h"
#include "index/neighbor_selection.h"

namespace velq {

namespace {

struct BackLink {
  std::uint32_t old_node;
  std::uint32_t new_node;
};

// The scores of (node, candidate) pairs asked while one old node takes its
// back-links: every overflow prunes the list again by the diversity rule,
// which asks mostly the pairs the previous prune asked. Pairs are ordered:
// a scorer need not be symmetric.
class PairScores {
 public:
  explicit PairScores(const BuildScorer& scorer) : scorer_(scorer) {}
  PairScores(const PairScores&) = delete;
  PairScores& operator=(const PairScores&) = delete;

  // A scorer that asks the wrapped one only for pairs not asked yet; valid
  // while this object lives.
  BuildScorer scorer() {
    return [this](std::uint32_t node, std::span<const std::uint32_t> candidates) {
      return lookup(node, candidates);
    };
  }

 private:
  static std::uint64_t key(std::uint32_t node, std::uint32_t candidate) {
    return std::uint64_t{node} << 32 | candidate;
  }

  std::vector<ScoredNode> lookup(std::uint32_t node, std::span<const std::uint32_t> candidates) {
    std::vector<ScoredNode> out(candidates.size());
    std::vector<std::uint32_t> missing;
    std::vector<std::size_t> missing_at;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const auto known = known_.find(key(node, candidates[i]));
      if (known != known_.end()) {
        out[i] = {candidates[i], known->second};
      } else {
        missing.push_back(candidates[i]);
        missing_at.push_back(i);
      }
    }
    if (missing.empty()) return out;
    const std::vector<ScoredNode> scored = score_all(node, missing, scorer_);
    for (std::size_t j = 0; j < scored.size(); ++j) {
      out[missing_at[j]] = scored[j];
      known_.emplace(key(node, scored[j].node), scored[j].score);
    }
    return out;
  }

  const BuildScorer& scorer_;
  std::unordered_map<std::uint64_t, double> known_;
};

// Adds the new nodes `sources` (ascending) to old node v's list one after
// the other; a list that overflows its degree is pruned by the diversity
// rule, which may drop the node just added. Every pair is scored once per
// call: the list's entries keep their scores against v from the first
// overflow on, and the prunes share the scores between entries.
void link_back(std::uint32_t v, std::span<const BackLink> sources, NodeList& list,
               std::size_t degree, double alpha, const BuildScorer& build_scorer) {
  PairScores pairs(build_scorer);
  const BuildScorer scorer = pairs.scorer();
  std::vector<double> scores;  // of `list`'s entries once the list first overflows
  for (const BackLink& link : sources) {
    const std::uint32_t u = link.new_node;
    if (std::find(list.begin(), list.end(), u) != list.end()) continue;
    const auto at = std::upper_bound(list.begin(), list.end(), u);
    if (!scores.empty()) {
      const std::uint32_t one[1] = {u};
      scores.insert(scores.begin() + (at - list.begin()), score_all(v, one, scorer)[0].score);
    }
    list.insert(at, u);
    if (list.size() <= degree) continue;
    std::vector<ScoredNode> scored;
    if (scores.empty()) {
      scored = score_all(v, list, scorer);
    } else {
      for (std::size_t i = 0; i < list.size(); ++i) scored.push_back({list[i], scores[i]});
    }
    ScoredList best = pick_diverse(scored, degree, alpha, scorer);
    list = std::move(best.nodes);
    scores = std::move(best.scores);
  }
}

// Links every old node listed by a new node at this level back to it. Each
// old node takes its new nodes in ascending order; old nodes are
// independent of each other, so they are handled on the pool. New nodes get
// no back-links from other new nodes.
void add_back_links(std::vector<NodeList>& lists, std::span<const std::uint32_t> fresh,
                    std::size_t old_n, std::size_t degree, double alpha,
                    const BuildScorer& scorer) {
  std::vector<BackLink> links;
  for (const std::uint32_t u : fresh) {
    for (const std::uint32_t v : lists[u]) {
      if (v < old_n) links.push_back({v, u});
    }
  }
  std::stable_sort(links.begin(), links.end(), [](const BackLink& a, const BackLink& b) {
    return a.old_node < b.old_node;
  });
  std::vector<std::size_t> starts;  // where each old node's run of links begins
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (i == 0 || links[i].old_node != links[i - 1].old_node) starts.push_back(i);
  }
  starts.push_back(links.size());
  parallel_for_each(starts.size() - 1, 16, [&](std::size_t g) {
    const std::span<const BackLink> run(links.data() + starts[g], starts[g + 1] - starts[g]);
    link_back(run.front().old_node, run, lists[run.front().old_node], degree, alpha, scorer);
  });
}

}  // namespace

void extend_graph(GraphData& graph, std::size_t n_total, const BuildParams& params,
                  const BuildScorer& scorer) {
  const std::size_t old_n = graph.size();
  if (n_total <= old_n) return;
  if (n_total > UINT32_MAX) panic("graph of " + std::to_string(n_total) + " nodes exceeds u32 ids");
  const GraphDegrees degrees(params.max_degree);
  BuildParams seeded = params;
  seeded.seed = params.resolved_seed();
  graph.resize(n_total);
  std::mt19937_64 level_rng = level_draw_rng(*seeded.seed);
  draw_levels(graph, old_n, degrees, level_rng);
  for (std::uint32_t level = 0; level <= graph.max_level; ++level) {
    const std::vector<std::uint32_t> all = nodes_at_level(graph.levels, 0, n_total, level);
    const std::vector<std::uint32_t> fresh = nodes_at_level(graph.levels, old_n, n_total, level);
    if (all.size() < 2 || fresh.empty()) continue;
    const std::size_t degree = degrees.at(level);
    build_and_mend_level(graph.lists[level], all, fresh, degree, seeded.at_level(level), scorer);
    add_back_links(graph.lists[level], fresh, old_n, degree, params.alpha, scorer);
  }
}

}  // namespace velq
