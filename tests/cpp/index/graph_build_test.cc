#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <set>

#include "index/graph_test_util.h"
#include "index/graph_build.h"
#include "index/neighbor_selection.h"
#include "index/node_marks.h"

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
    const GraphData graph =
        build_graph(vectors.size(), {max_degree, 40, 2}, vectors.build_scorer());
    expect_well_formed(graph, max_degree);
    for (const NodeList& list : graph.lists[0]) EXPECT_FALSE(list.empty());
  }
}

TEST(GraphBuild, WithoutRefinementListsAreTheBestInitialCandidates) {
  // ef_construction above the pool: every other node is a candidate, so
  // before the last pass each list is the exact best `degree`.
  std::vector<NodeList> lists(40);
  NodeList pool(40);
  std::iota(pool.begin(), pool.end(), 0u);
  const std::vector<MendInput> built =
      build_level_lists(lists, pool, pool, 6, {6, 1000, 0}, closeness_scorer());
  for (std::uint32_t node = 0; node < 40; ++node) {
    std::vector<ScoredNode> all;
    for (std::uint32_t c = 0; c < 40; ++c) {
      if (c != node) all.push_back({c, -std::abs(double(c) - double(node))});
    }
    sort_best_first(all);
    NodeList expected;
    for (std::size_t i = 0; i < 6; ++i) expected.push_back(all[i].node);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lists[node], expected) << node;
    EXPECT_EQ(built[node].initial.nodes, expected) << node;
    ASSERT_EQ(built[node].list_scores.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(built[node].list_scores[i], -std::abs(double(expected[i]) - double(node)));
    }
  }
}

TEST(GraphBuild, RefinementStopsOnceARoundAddsNothing) {
  // Every list is exact after the initial candidates, so the first round
  // finds nothing new; a count of rounds no build could run must still end
  // there, with the lists unchanged.
  std::vector<NodeList> exact(40);
  NodeList pool(40);
  std::iota(pool.begin(), pool.end(), 0u);
  build_level_lists(exact, pool, pool, 6, {6, 1000, 0}, closeness_scorer());
  std::vector<NodeList> lists(40);
  std::atomic<int> calls{0};
  build_level_lists(lists, pool, pool, 6, {6, 1000, SIZE_MAX}, closeness_scorer(&calls));
  EXPECT_EQ(lists, exact);
  EXPECT_LE(calls.load(), 2 * 40);  // the initial lists and one round
}

// FNV-1a over levels, entry point, top level and every list of a graph.
std::uint64_t graph_hash(const GraphData& graph) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  const auto mix = [&h](std::uint64_t v) {
    for (int byte = 0; byte < 8; ++byte) {
      h = (h ^ ((v >> (8 * byte)) & 0xFF)) * 0x100000001B3ull;
    }
  };
  mix(graph.entry_point);
  mix(graph.max_level);
  for (const std::uint32_t level : graph.levels) mix(level);
  for (const auto& level : graph.lists) {
    for (const NodeList& list : level) {
      mix(list.size());
      for (const std::uint32_t v : list) mix(v);
    }
  }
  return h;
}

// Small integer vectors scored by exact dot products: the scores, ties
// included, are the same on every machine, so a seeded build is too.
BuildScorer integer_scorer(std::size_t n, std::size_t d) {
  std::mt19937_64 rng(99);
  auto values = std::make_shared<std::vector<int>>(n * d);
  for (int& v : *values) v = static_cast<int>(rng() % 17) - 8;
  return [values, d](std::uint32_t node, std::span<const std::uint32_t> candidates) {
    std::vector<ScoredNode> out;
    for (const std::uint32_t c : candidates) {
      int dot = 0;
      for (std::size_t j = 0; j < d; ++j) dot += (*values)[node * d + j] * (*values)[c * d + j];
      out.push_back({c, static_cast<double>(dot)});
    }
    return out;
  };
}

TEST(GraphBuild, OneSeedGivesOneGraph) {
  // The recorded hashes pin what a seeded build produces: a change meant to
  // make the builder faster must leave every list as it was. Only a change
  // of what is built may record new ones.
  const BuildScorer scorer = integer_scorer(1500, 6);
  BuildParams params{12, 40, 3};
  params.seed = 2024;
  GraphData graph = build_graph(1200, params, scorer);
  EXPECT_EQ(graph_hash(build_graph(1200, params, scorer)), graph_hash(graph));
  EXPECT_EQ(graph_hash(graph), 0x9f95fcd6967d40beull);
  extend_graph(graph, 1500, params, scorer);
  EXPECT_EQ(graph_hash(graph), 0x56f3533e108bb610ull);
  params.seed = 2025;
  EXPECT_NE(graph_hash(build_graph(1200, params, scorer)), graph_hash(graph));
}

TEST(GraphBuild, ByteMarksSurviveTheirStampWrapping) {
  // A byte stamp wraps every 255 clears; nodes marked before a wrap must
  // not read as present after it.
  BasicNodeMarks<std::uint8_t> marks;
  for (std::uint32_t round = 0; round < 700; ++round) {
    marks.clear(64);
    const std::uint32_t node = round % 64;
    ASSERT_TRUE(marks.insert(node)) << round;
    ASSERT_FALSE(marks.insert(node)) << round;
    ASSERT_TRUE(marks.insert((node + 1) % 64)) << round;
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
  // The initial lists and the first round still ask; that round adds
  // nothing, which ends the refinement.
  EXPECT_GE(empty_calls, 50 * 2);
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

TEST(NeighborSelection, CoverFollowsTheRelaxedDistanceRule) {
  // Distances read from the closest candidate's score (here 0): k covers c
  // when alpha * d(k, c) < d(p, c), with d(k, c) = 1 and d(p, c) = 2.
  EXPECT_TRUE(covers(-1.0, -2.0, 0.0, 1.2));
  EXPECT_TRUE(covers(-1.0, -2.0, 0.0, 1.99));
  EXPECT_FALSE(covers(-1.0, -2.0, 0.0, 2.0)) << "the boundary is not covered";
  EXPECT_TRUE(covers(9.0, 8.0, 10.0, 1.99)) << "shifting every score changes nothing";
  EXPECT_FALSE(covers(9.0, 8.0, 10.0, 2.0));
  EXPECT_TRUE(covers(0.45, 0.4, 0.5, 1.99)) << "nor does scaling";
  EXPECT_FALSE(covers(0.45, 0.4, 0.5, 2.0));
  // alpha 1: covered exactly when c is closer to k than to p.
  EXPECT_TRUE(covers(0.31, 0.3, 0.9, 1.0));
  EXPECT_FALSE(covers(0.3, 0.3, 0.9, 1.0));
  // A pair closer than p's closest candidate always covers; duplicates
  // (every score equal) never do.
  EXPECT_TRUE(covers(0.95, 0.1, 0.9, 50.0));
  EXPECT_FALSE(covers(1.0, 1.0, 1.0, 1.2));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(covers(nan, -2.0, 0.0, 1.2));
  EXPECT_FALSE(covers(-1.0, nan, 0.0, 1.2));
  EXPECT_FALSE(covers(-1.0, -2.0, nan, 1.2));
  EXPECT_FALSE(covers(-1.0, -2.0, 0.0, nan));
}

TEST(NeighborSelection, DiverseListsSpreadAroundTheNode) {
  // Node 10 on a line among nodes 5 .. 15, closest candidates 9 and 11 at
  // distance 1: a kept node covers its own neighbours on the line, and
  // covers those at distance 2 from it only while alpha < 2.
  NodeList candidates;
  for (std::uint32_t c = 5; c <= 15; ++c) {
    if (c != 10) candidates.push_back(c);
  }
  const std::vector<ScoredNode> scored = score_all(10, candidates, closeness_scorer());
  const ScoredList kept = pick_diverse(scored, 8, 1.2, closeness_scorer());
  EXPECT_EQ(kept.nodes, (NodeList{9, 11}));
  EXPECT_EQ(kept.scores, (std::vector<double>{-1.0, -1.0}));
  EXPECT_EQ(pick_diverse(scored, 8, 2.5, closeness_scorer()).nodes, (NodeList{7, 9, 11, 13}));
  EXPECT_EQ(pick_diverse(scored, 3, 2.5, closeness_scorer()).nodes, (NodeList{7, 9, 11}));
  EXPECT_EQ(pick_diverse(scored, 1, 1.2, closeness_scorer()).nodes, NodeList{9})
      << "ties go to the earlier candidate";

  // Equal or unknown scores cover nothing: the first `degree` stay.
  EXPECT_EQ(pick_diverse(score_all(10, candidates, constant_scorer()), 3, 1.2, constant_scorer())
                .nodes,
            (NodeList{5, 6, 7}));
  const BuildScorer nan_scorer = [](std::uint32_t, std::span<const std::uint32_t> c) {
    return std::vector<ScoredNode>(c.size(), {0, std::numeric_limits<double>::quiet_NaN()});
  };
  EXPECT_EQ(pick_diverse(score_all(10, candidates, nan_scorer), 3, 1.2, nan_scorer).nodes,
            (NodeList{5, 6, 7}));
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
  // On the line of node numbers, new node 5 keeps only 4 (4 covers 1, 2
  // and 3), and 4, overflowing with 5, keeps one neighbour on each side.
  GraphData graph;
  graph.resize(5);
  graph.lists[0] = {{1, 2, 3, 4}, {0, 2, 3, 4}, {}, {2}, {0, 1, 2, 3}};
  const GraphData before = graph;
  extend_graph(graph, 6, {4, 10, 1}, closeness_scorer());
  EXPECT_EQ(graph.lists[0][5], NodeList{4});
  EXPECT_EQ(graph.lists[0][4], (NodeList{3, 5}));
  for (std::uint32_t v = 0; v < 4; ++v) EXPECT_EQ(graph.lists[0][v], before.lists[0][v]) << v;
}

TEST(GraphIncremental, SeveralNewNodesLinkBackInOrder) {
  // Old nodes 0 .. 4 on a path (degree 2). New nodes 5 and 6 are very close
  // to node 2 (score 10) and less to each other (1); node 2 is fairly close
  // to the other old nodes (5); everything else scores 0. Each new node
  // keeps only 2, which covers the rest. Node 2 takes 5 and keeps 1 (5
  // does not cover it), then takes 6, which evicts 1.
  const auto similarity = [](std::uint32_t a, std::uint32_t b) {
    if (a > b) std::swap(a, b);
    if (a == 5 && b == 6) return 1.0;
    if (a == 2) return b >= 5 ? 10.0 : 5.0;
    return b == 2 ? 5.0 : 0.0;
  };
  const BuildScorer scorer = [&](std::uint32_t node, std::span<const std::uint32_t> candidates) {
    std::vector<ScoredNode> out;
    for (const std::uint32_t c : candidates) out.push_back({c, similarity(node, c)});
    return out;
  };
  GraphData graph;
  graph.resize(5);
  graph.lists[0] = {{1}, {0, 2}, {1, 3}, {2, 4}, {3}};
  const GraphData before = graph;
  extend_graph(graph, 7, {2, 10, 2}, scorer);
  EXPECT_EQ(graph.lists[0][5], NodeList{2});
  EXPECT_EQ(graph.lists[0][6], NodeList{2});
  EXPECT_EQ(graph.lists[0][2], (NodeList{5, 6}));
  for (const std::uint32_t v : {0u, 1u, 3u, 4u}) EXPECT_EQ(graph.lists[0][v], before.lists[0][v]);
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
