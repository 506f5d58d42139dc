#include "storage/graph/graph_build.h"

#include <algorithm>
#include <string>
#include <utility>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "storage/graph/node_marks.h"

namespace velq {

namespace {

// Candidate sets are built one at a time per worker thread.
NodeMarks& thread_marks() {
  thread_local NodeMarks marks;
  return marks;
}

// Tasks per worker chunk: a node's list costs hundreds of scores, so small
// chunks balance well without measurable scheduling cost.
constexpr std::size_t kNodesPerTask = 4;

}  // namespace

std::vector<std::uint32_t> nodes_at_level(std::span<const std::uint32_t> levels, std::size_t begin,
                                          std::size_t end, std::uint32_t level) {
  std::vector<std::uint32_t> nodes;
  for (std::size_t i = begin; i < end; ++i) {
    if (levels[i] >= level) nodes.push_back(static_cast<std::uint32_t>(i));
  }
  return nodes;
}

void draw_levels(GraphData& graph, std::size_t first, const GraphDegrees& degrees) {
  std::mt19937_64& rng = graph_rng();
  for (std::size_t i = first; i < graph.size(); ++i) {
    const std::uint32_t level = draw_level(rng, degrees.level_multiplier);
    graph.levels[i] = level;
    if (level >= graph.max_level) graph.entry_point = static_cast<std::uint32_t>(i);
    graph.max_level = std::max(graph.max_level, level);
  }
}

NodeList best_neighbors(std::uint32_t node, std::span<const std::uint32_t> candidates,
                        std::size_t degree, const BuildScorer& scorer) {
  std::vector<ScoredNode> scored = scorer(node, candidates);
  assert_eq(scored.size(), candidates.size(), "graph scorer results per candidate");
  // Rank by (score, candidate position): the same first `degree` a stable
  // sort would give, found by a partial sort. Ids are then taken from the
  // candidates, not the callback, so a list only ever holds chosen nodes.
  for (std::size_t i = 0; i < scored.size(); ++i) scored[i].node = static_cast<std::uint32_t>(i);
  const std::size_t keep = std::min(degree, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + keep, scored.end(),
                    [](const ScoredNode& a, const ScoredNode& b) {
                      if (ranks_before(a.score, b.score)) return true;
                      if (ranks_before(b.score, a.score)) return false;
                      return a.node < b.node;
                    });
  NodeList list(keep);
  for (std::size_t i = 0; i < keep; ++i) list[i] = candidates[scored[i].node];
  std::sort(list.begin(), list.end());
  return list;
}

NodeList random_init_neighbors(std::uint32_t node, std::span<const std::uint32_t> pool,
                               std::size_t degree, std::size_t ef_construction,
                               const BuildScorer& scorer) {
  const std::size_t target = pool.empty() ? 0 : std::min(ef_construction, pool.size() - 1);
  std::mt19937_64& rng = graph_rng();
  std::vector<std::uint32_t> candidates;
  if (2 * target > pool.size()) {
    // Most of the pool is wanted: a partial shuffle of the other members
    // avoids the long tail of rejected repeat draws.
    candidates.reserve(pool.size());
    for (const std::uint32_t v : pool) {
      if (v != node) candidates.push_back(v);
    }
    for (std::size_t i = 0; i < target; ++i) {
      std::swap(candidates[i], candidates[i + uniform_index(rng, candidates.size() - i)]);
    }
    candidates.resize(target);
  } else {
    NodeMarks& marks = thread_marks();
    marks.clear(pool.empty() ? 0 : std::size_t{pool.back()} + 1);
    marks.insert(node);
    candidates.reserve(target);
    while (candidates.size() < target) {
      const std::uint32_t v = pool[uniform_index(rng, pool.size())];
      if (marks.insert(v)) candidates.push_back(v);
    }
  }
  return best_neighbors(node, candidates, degree, scorer);
}

NodeList refine_neighbors(std::uint32_t node, const std::vector<NodeList>& lists,
                          std::size_t degree, const BuildScorer& scorer) {
  NodeMarks& marks = thread_marks();
  marks.clear(lists.size());
  marks.insert(node);
  const NodeList& own = lists[node];
  std::vector<std::uint32_t> candidates;
  candidates.reserve(own.size() * (own.size() + 1));
  for (const std::uint32_t v : own) {
    if (marks.insert(v)) candidates.push_back(v);
  }
  for (const std::uint32_t v : own) {
    for (const std::uint32_t w : lists[v]) {
      if (marks.insert(w)) candidates.push_back(w);
    }
  }
  return best_neighbors(node, candidates, degree, scorer);
}

void build_level_lists(std::vector<NodeList>& lists, std::span<const std::uint32_t> pool,
                       std::span<const std::uint32_t> targets, std::size_t degree,
                       const BuildParams& params, const BuildScorer& scorer) {
  std::vector<NodeList> next(targets.size());
  parallel_for_each(targets.size(), kNodesPerTask, [&](std::size_t i) {
    next[i] = random_init_neighbors(targets[i], pool, degree, params.ef_construction, scorer);
  });
  for (std::size_t i = 0; i < targets.size(); ++i) lists[targets[i]] = std::move(next[i]);

  for (std::size_t round = 0; round < params.n_refinements; ++round) {
    parallel_for_each(targets.size(), kNodesPerTask, [&](std::size_t i) {
      next[i] = refine_neighbors(targets[i], lists, degree, scorer);
    });
    for (std::size_t i = 0; i < targets.size(); ++i) lists[targets[i]] = std::move(next[i]);
  }
}

GraphData build_graph(std::size_t n_nodes, const BuildParams& params, const BuildScorer& scorer) {
  if (n_nodes > UINT32_MAX) panic("graph of " + std::to_string(n_nodes) + " nodes exceeds u32 ids");
  const GraphDegrees degrees(params.max_degree);
  GraphData graph;
  graph.resize(n_nodes);
  draw_levels(graph, 0, degrees);
  for (std::uint32_t level = 0; level <= graph.max_level; ++level) {
    const std::vector<std::uint32_t> pool = nodes_at_level(graph.levels, 0, n_nodes, level);
    if (pool.size() < 2) continue;
    build_level_lists(graph.lists[level], pool, pool, degrees.at(level), params, scorer);
  }
  return graph;
}

}  // namespace velq
