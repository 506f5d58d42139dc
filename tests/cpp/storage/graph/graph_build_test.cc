#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>

#include "graph_test_util.h"
#include "storage/graph/graph_build.h"
#include "storage/graph/neighbor_selection.h"

namespace velq {
namespace {

using testing::UnitVectors;

// Scores by closeness of node numbers: the best neighbours are predictable.
BuildScorer closeness_scorer(std::atomic<int>* calls = nullptr) {
  return [calls](std::uint32_t node, std::span<const std::uint32_t> candidates) {
    if (calls != nullptr) ++*calls;
    std::vector<ScoredNode> out;
    for (const std::uint32_t c : candidates) {
      out.push_back({c, -std::abs(static_cast<double>(c) - static_cast<double>(node))});
    }
    return out;
  };
}

BuildScorer constant_scorer() {
  return [](std::uint32_t, std::span<const std::uint32_t> candidates) {
    std::vector<ScoredNode> out;
    for (const std::uint32_t c : candidates) out.push_back({c, 1.0});
    return out;
  };
}

// Every list ascending, without duplicates or its own node, within its
// level's degree, and present only up to the node's level.
void expect_well_formed(const GraphData& graph, std::size_t max_degree) {
  const GraphDegrees degrees(max_degree);
  std::uint32_t top = 0;
  for (std::uint32_t node = 0; node < graph.size(); ++node) {
    top = std::max(top, graph.levels[node]);
    for (std::uint32_t level = 0; level < graph_format::kLevelCount; ++level) {
      const NodeList& list = graph.lists[level][node];
      if (level > graph.levels[node]) {
        EXPECT_TRUE(list.empty()) << "node " << node << " level " << level;
        continue;
      }
      EXPECT_LE(list.size(), degrees.at(level));
      for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_NE(list[i], node);
        EXPECT_LT(list[i], graph.size());
        EXPECT_GE(graph.levels[list[i]], level) << "neighbour not on the level";
        if (i > 0) {
          EXPECT_LT(list[i - 1], list[i]) << "not strictly ascending";
        }
      }
    }
  }
  if (graph.size() > 0) {
    EXPECT_EQ(graph.max_level, top);
    EXPECT_EQ(graph.levels[graph.entry_point], top);
    for (std::size_t i = graph.entry_point + 1; i < graph.size(); ++i) {
      EXPECT_LT(graph.levels[i], top) << "a later node of the top level must be the entry point";
    }
  }
}

TEST(GraphDegrees, FollowMaxDegree) {
  const std::pair<std::size_t, std::pair<std::size_t, std::size_t>> cases[] = {
      {3, {3, 4}},    {8, {8, 4}},      {9, {9, 4}},       {10, {10, 5}},
      {32, {32, 16}}, {300, {127, 150}}, {1000, {127, 500}}, {0, {0, 4}}};
  for (const auto& [max_degree, expected] : cases) {
    const GraphDegrees d(max_degree);
    EXPECT_EQ(d.level0, expected.first) << max_degree;
    EXPECT_EQ(d.upper, expected.second) << max_degree;
  }
  EXPECT_NEAR(GraphDegrees(32).level_multiplier, 0.3607, 1e-4);
  EXPECT_NEAR(GraphDegrees(8).level_multiplier, 0.7213, 1e-4);
}

TEST(GraphLevels, DrawsFollowTheGeometricLaw) {
  std::mt19937_64 rng(7);
  const double ml = GraphDegrees(8).level_multiplier;  // P(level >= l) = 4^-l
  std::size_t at_least[7] = {};
  const std::size_t draws = 200000;
  for (std::size_t i = 0; i < draws; ++i) {
    const std::uint32_t level = draw_level(rng, ml);
    ASSERT_LE(level, 5u);
    for (std::uint32_t l = 0; l <= level; ++l) ++at_least[l];
  }
  EXPECT_NEAR(at_least[1] / double(draws), 0.25, 0.01);
  EXPECT_NEAR(at_least[2] / double(draws), 0.0625, 0.005);
  EXPECT_NEAR(at_least[3] / double(draws), 0.015625, 0.002);

  std::set<std::size_t> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::size_t v = uniform_index(rng, 7);
    ASSERT_LT(v, 7u);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 7u);
}

TEST(GraphBuild, TinyGraphs) {
  std::atomic<int> calls = 0;
  const GraphData empty = build_graph(0, {32, 200, 5}, closeness_scorer(&calls));
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.entry_point, 0u);
  EXPECT_EQ(empty.max_level, 0u);
  EXPECT_EQ(calls, 0);

  const GraphData one = build_graph(1, {32, 200, 5}, closeness_scorer());
  EXPECT_EQ(one.entry_point, 0u);
  EXPECT_EQ(one.max_level, one.levels[0]);
  EXPECT_TRUE(one.lists[0][0].empty());

  const GraphData two = build_graph(2, {1, 1, 0}, closeness_scorer());
  EXPECT_EQ(two.lists[0][0], NodeList{1});
  EXPECT_EQ(two.lists[0][1], NodeList{0});
}

TEST(GraphBuild, ListsAreWellFormedAtEveryLevel) {
  const UnitVectors vectors(3000, 8, 1);
  for (const std::size_t max_degree : {3, 12}) {
    const GraphData graph = build_graph(vectors.size(), {max_degree, 40, 2}, vectors.build_scorer());
    expect_well_formed(graph, max_degree);
    std::size_t full = 0;
    for (const NodeList& list : graph.lists[0]) full += list.size() == std::min<std::size_t>(max_degree, 127);
    EXPECT_EQ(full, vectors.size()) << "every level-0 list fills up on 3000 nodes";
  }
}

TEST(GraphBuild, WithoutRefinementListsAreTheBestInitialCandidates) {
  // ef_construction above the pool: every other node is a candidate, so
  // the initial list is the exact best `degree`.
  const GraphData graph = build_graph(40, {6, 1000, 0}, closeness_scorer());
  for (std::uint32_t node = 0; node < 40; ++node) {
    std::vector<ScoredNode> all;
    for (std::uint32_t c = 0; c < 40; ++c) {
      if (c != node) all.push_back({c, -std::abs(double(c) - double(node))});
    }
    sort_best_first(all);
    NodeList expected;
    for (std::size_t i = 0; i < 6; ++i) expected.push_back(all[i].node);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(graph.lists[0][node], expected) << node;
  }
}

TEST(GraphBuild, NoCandidatesLeaveEmptyLists) {
  std::atomic<int> empty_calls = 0;
  const BuildScorer scorer = [&](std::uint32_t, std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) ++empty_calls;
    return std::vector<ScoredNode>();
  };
  const GraphData graph = build_graph(50, {8, 0, 2}, scorer);
  for (const NodeList& list : graph.lists[0]) EXPECT_TRUE(list.empty());
  EXPECT_GE(empty_calls, 50 * 3);  // initial lists and both rounds still ask
}

TEST(NeighborSelection, BreaksTiesByCandidateOrderAndSinksNaN) {
  const NodeList candidates = {9, 5, 3, 7};
  const double scores[] = {1.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 2.0};
  const BuildScorer scorer = [&](std::uint32_t, std::span<const std::uint32_t> c) {
    std::vector<ScoredNode> out;
    for (std::size_t i = 0; i < c.size(); ++i) out.push_back({c[i], scores[i]});
    return out;
  };
  EXPECT_EQ(pick_best(score_all(0, candidates, scorer), 2).nodes, (NodeList{7, 9}));
  EXPECT_EQ(pick_best(score_all(0, candidates, scorer), 3).nodes, (NodeList{3, 7, 9}));
  EXPECT_EQ(pick_best(score_all(0, candidates, scorer), 9).nodes, (NodeList{3, 5, 7, 9}));
}

// Five old nodes fully linked at level 0 (max_degree 4), all levels 0.
GraphData complete_five() {
  GraphData graph;
  graph.resize(5);
  for (std::uint32_t v = 0; v < 5; ++v) {
    for (std::uint32_t w = 0; w < 5; ++w) {
      if (w != v) graph.lists[0][v].push_back(w);
    }
  }
  graph.entry_point = 4;
  return graph;
}

TEST(GraphIncremental, NothingToAddChangesNothing) {
  std::atomic<int> calls = 0;
  GraphData graph = complete_five();
  const GraphData before = graph;
  extend_graph(graph, 5, {4, 10, 2}, closeness_scorer(&calls));
  extend_graph(graph, 3, {4, 10, 2}, closeness_scorer(&calls));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(graph.lists, before.lists);
}

TEST(GraphIncremental, FullOldListsPruneATiedNewNode) {
  // On equal scores the new node, numbered last, ranks last and is cut.
  GraphData graph = complete_five();
  const GraphData before = graph;
  extend_graph(graph, 6, {4, 10, 2}, constant_scorer());
  for (std::uint32_t v = 0; v < 5; ++v) EXPECT_EQ(graph.lists[0][v], before.lists[0][v]);
  EXPECT_EQ(graph.lists[0][5].size(), 4u);
  EXPECT_EQ(graph.entry_point, 5u);  // a new node at the old top level takes over
  expect_well_formed(graph, 4);
}

TEST(GraphIncremental, BackLinksAreAddedAndRePruned) {
  GraphData graph;
  graph.resize(5);
  graph.lists[0] = {{1, 2, 3, 4}, {0, 2, 3, 4}, {}, {2}, {0, 1, 2, 3}};
  extend_graph(graph, 6, {4, 10, 1}, closeness_scorer());
  EXPECT_EQ(graph.lists[0][5], (NodeList{1, 2, 3, 4}));
  EXPECT_EQ(graph.lists[0][0], (NodeList{1, 2, 3, 4}));  // not listed by 5: untouched
  EXPECT_EQ(graph.lists[0][1], (NodeList{0, 2, 3, 4}));  // 5 ranks last from 1: pruned
  EXPECT_EQ(graph.lists[0][2], (NodeList{5}));
  EXPECT_EQ(graph.lists[0][3], (NodeList{2, 5}));
  EXPECT_EQ(graph.lists[0][4], (NodeList{1, 2, 3, 5}));  // 0 ranks last from 4
}

TEST(GraphIncremental, SeveralNewNodesLinkBackInOrder) {
  // New nodes 5 and 6 both list old nodes 2, 3 and 4; each old node takes
  // 5 first, then 6, re-pruning after each.
  GraphData graph;
  graph.resize(5);
  graph.lists[0] = {{1, 2, 3, 4}, {0, 2, 3, 4}, {0, 1, 3, 4}, {}, {0, 1, 2, 3}};
  extend_graph(graph, 7, {4, 10, 2}, closeness_scorer());
  EXPECT_EQ(graph.lists[0][5], (NodeList{2, 3, 4, 6}));
  EXPECT_EQ(graph.lists[0][6], (NodeList{2, 3, 4, 5}));
  EXPECT_EQ(graph.lists[0][2], (NodeList{0, 1, 3, 4}));  // both rank last from 2
  EXPECT_EQ(graph.lists[0][3], (NodeList{5, 6}));
  EXPECT_EQ(graph.lists[0][4], (NodeList{2, 3, 5, 6}));  // 5 evicts 0, then 6 evicts 1
}

TEST(GraphIncremental, NewNodesJoinEveryLevelWellFormed) {
  const UnitVectors vectors(3000, 8, 2);
  GraphData graph = build_graph(2000, {10, 40, 2}, vectors.build_scorer());
  const GraphData old = graph;
  extend_graph(graph, 3000, {10, 40, 2}, vectors.build_scorer());
  expect_well_formed(graph, 10);
  for (std::uint32_t v = 0; v < 2000; ++v) {
    EXPECT_EQ(graph.levels[v], old.levels[v]);
    // Old lists only ever gain new nodes (or lose old ones to a prune).
    for (const std::uint32_t w : graph.lists[0][v]) {
      if (w < 2000) continue;
      const NodeList& back = graph.lists[0][w];
      EXPECT_TRUE(std::binary_search(back.begin(), back.end(), v)) << "back-link without link";
    }
  }
}

}  // namespace
}  // namespace velq
