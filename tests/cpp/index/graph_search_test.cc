#include <gtest/gtest.h>

#include <cstdio>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <unordered_set>

#include "index/graph_test_util.h"
#include "index/graph_mend.h"
#include "index/graph_search.h"

namespace velq {
namespace {

using testing::ParsedGraph;
using testing::UnitVectors;

// Scores node i as scores[i] and counts the calls.
struct TableScorer {
  std::vector<double> scores;
  std::vector<int> calls = std::vector<int>(scores.size(), 0);

  NodeScorer fn() {
    return [this](std::uint32_t node) {
      EXPECT_LT(node, scores.size());
      ++calls.at(node);
      return scores.at(node);
    };
  }
  int total_calls() const { return std::accumulate(calls.begin(), calls.end(), 0); }
};

// A level-0 path 0 - 1 - ... - n-1 with its entry point at node 0.
GraphData path_graph(std::uint32_t n) {
  GraphData graph;
  graph.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    if (i > 0) graph.lists[0][i].push_back(i - 1);
    if (i + 1 < n) graph.lists[0][i].push_back(i + 1);
  }
  return graph;
}

// Allows exactly `nodes`, with node i stored in slot 100 + i.
struct SlotFilter {
  explicit SlotFilter(std::uint32_t n, std::initializer_list<std::uint32_t> nodes) {
    for (std::uint32_t i = 0; i < n; ++i) slots.push_back(100 + i);
    filter.index_ids = slots;
    allowed = SlotBitmap(100 + n);
    for (const std::uint32_t node : nodes) allowed.insert(100 + node);
    filter.allowed = &allowed;
  }
  SlotFilter(const SlotFilter&) = delete;
  std::vector<std::uint32_t> slots;
  SlotBitmap allowed;
  SearchFilter filter;
};

std::vector<std::uint32_t> nodes_of(const std::vector<ScoredNode>& hits) {
  std::vector<std::uint32_t> out;
  for (const ScoredNode& h : hits) out.push_back(h.node);
  return out;
}

TEST(GraphSearch, EmptyOrBrokenHeadersGiveNothingWithoutScoring) {
  TableScorer scorer{{1.0, 2.0}};
  const ParsedGraph empty(encode_graph(GraphData{}));
  EXPECT_TRUE(search_graph(empty.adjacency(), 10, 10, scorer.fn(), nullptr).empty());

  GraphData graph = path_graph(2);
  graph.entry_point = 2;  // outside the graph
  EXPECT_TRUE(search_graph(testing::parse(graph).adjacency(), 10, 10, scorer.fn(), nullptr).empty());
  EXPECT_EQ(scorer.total_calls(), 0);

  graph.entry_point = 1;
  graph.max_level = UINT32_MAX;  // names only empty levels
  const auto hits = search_graph(testing::parse(graph).adjacency(), 10, 10, scorer.fn(), nullptr);
  EXPECT_EQ(nodes_of(hits), (std::vector<std::uint32_t>{1, 0}));
}

TEST(GraphSearch, SingleNodeGraph) {
  TableScorer scorer{{0.5}};
  const ParsedGraph parsed = testing::parse(path_graph(1));
  const auto hits = search_graph(parsed.adjacency(), 3, 3, scorer.fn(), nullptr);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].node, 0u);
  EXPECT_EQ(hits[0].score, 0.5);
  const SlotFilter none(1, {});
  EXPECT_TRUE(search_graph(parsed.adjacency(), 3, 3, scorer.fn(), &none.filter).empty());
}

TEST(GraphSearch, FilterRestrictsResultsButNotTheWalk) {
  const ParsedGraph parsed = testing::parse(path_graph(6));
  TableScorer scorer{{0, 1, 2, 3, 4, 5}};

  const SlotFilter nothing(6, {});
  EXPECT_TRUE(search_graph(parsed.adjacency(), 10, 10, scorer.fn(), &nothing.filter).empty());
  EXPECT_EQ(scorer.calls, std::vector<int>(6, 1)) << "every reachable node scored once";

  // The entry point (node 0) is rejected yet expanded: the walk reaches 3.
  const SlotFilter only_three(6, {3});
  const auto hits = search_graph(parsed.adjacency(), 10, 10, scorer.fn(), &only_three.filter);
  EXPECT_EQ(nodes_of(hits), std::vector<std::uint32_t>{3});

  const SlotFilter some(6, {0, 2, 5});
  EXPECT_EQ(nodes_of(search_graph(parsed.adjacency(), 10, 10, scorer.fn(), &some.filter)),
            (std::vector<std::uint32_t>{5, 2, 0}));
}

TEST(GraphSearch, KZeroWalksButReturnsNothing) {
  TableScorer scorer{{0, 1, 2, 3}};
  EXPECT_TRUE(search_graph(testing::parse(path_graph(4)).adjacency(), 0, 8, scorer.fn(), nullptr).empty());
  EXPECT_EQ(scorer.total_calls(), 4);
}

TEST(GraphSearch, EqualScoresNeverStopTheWalk) {
  TableScorer scorer{std::vector<double>(10, 1.0)};
  const auto hits = search_graph(testing::parse(path_graph(10)).adjacency(), 5, 1, scorer.fn(), nullptr);
  EXPECT_EQ(hits.size(), 1u);
  EXPECT_EQ(scorer.total_calls(), 10);
}

TEST(GraphSearch, StartEntriesExceedASmallBeam) {
  // Six nodes, all on level 1 and fully linked at both levels: all six come
  // down as start entries and stay in the results although ef is 1.
  GraphData graph;
  graph.resize(6);
  for (std::uint32_t v = 0; v < 6; ++v) {
    graph.levels[v] = 1;
    for (std::uint32_t w = 0; w < 6; ++w) {
      if (w != v) graph.lists[0][v].push_back(w), graph.lists[1][v].push_back(w);
    }
  }
  graph.max_level = 1;
  TableScorer scorer{{3, 1, 4, 1, 5, 9}};
  const auto hits = search_graph(testing::parse(graph).adjacency(), 4, 1, scorer.fn(), nullptr);
  EXPECT_EQ(nodes_of(hits), (std::vector<std::uint32_t>{5, 4, 2, 0}));
  for (const int calls : scorer.calls) EXPECT_LE(calls, 2) << "once per level at most";
}

TEST(GraphSearch, SkipsNeighboursOutsideTheGraph) {
  GraphData graph = path_graph(3);
  graph.lists[0][0] = {1, 99, UINT32_MAX};
  TableScorer scorer{{0, 1, 2}};
  const auto hits = search_graph(testing::parse(graph).adjacency(), 5, 5, scorer.fn(), nullptr);
  EXPECT_EQ(nodes_of(hits), (std::vector<std::uint32_t>{2, 1, 0}));
}

TEST(GraphSearch, PrefetchHintsPrecedeScoringAndChangeNothing) {
  const UnitVectors vectors(500, 8, 9);
  const ParsedGraph parsed = testing::parse(build_graph(500, {8, 32, 2}, vectors.build_scorer()));
  const NodeScorer plain = vectors.query_scorer(vectors.at(3));
  std::vector<std::uint8_t> hinted(500, 0);
  std::size_t unhinted_scores = 0;
  const NodeScorer checked = [&](std::uint32_t node) {
    unhinted_scores += hinted[node] == 0;
    return plain(node);
  };
  const NodePrefetch hint = [&](std::uint32_t node) { hinted[node] = 1; };
  const auto with_hints = search_graph(parsed.adjacency(), 10, 40, checked, nullptr, hint);
  EXPECT_EQ(unhinted_scores, 1u) << "only the entry point is scored without a hint";
  const auto without = search_graph(parsed.adjacency(), 10, 40, plain, nullptr);
  ASSERT_EQ(with_hints.size(), without.size());
  for (std::size_t i = 0; i < without.size(); ++i) EXPECT_EQ(with_hints[i].node, without[i].node);
}

// Sanitized builds run on small CI machines: the quality checks shrink there.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kQualityNodes = 2000;
#else
constexpr std::size_t kQualityNodes = 20000;
#endif

// Mean recall@10 over the queries at each beam width.
std::vector<double> recall_at_10(const UnitVectors& base, const ParsedGraph& parsed,
                                 const UnitVectors& queries, std::initializer_list<std::size_t> efs) {
  std::vector<std::set<std::uint32_t>> truth;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const auto top = base.exact_top(queries.at(q), 10);
    truth.emplace_back(top.begin(), top.end());
  }
  std::vector<double> recalls;
  for (const std::size_t ef : efs) {
    std::size_t found = 0;
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const auto hits = search_graph(parsed.adjacency(), 10, ef, base.query_scorer(queries.at(q)), nullptr);
      EXPECT_LE(hits.size(), 10u);
      for (std::size_t i = 0; i < hits.size(); ++i) {
        found += truth[q].count(hits[i].node);
        if (i > 0) {
          EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
      }
    }
    recalls.push_back(double(found) / double(10 * queries.size()));
  }
  return recalls;
}

// Recall@10 at ef 32, 64, 128 and 256 of the default build (max_degree 32,
// ef_construction 200, 5 refinements) on random unit vectors, printed.
std::vector<double> default_build_recall(std::size_t d) {
  const UnitVectors base(kQualityNodes, d, 11);
  const UnitVectors queries(100, d, 12);
  const ParsedGraph parsed = testing::parse(build_graph(base.size(), {32, 200, 5}, base.build_scorer()));
  const auto r = recall_at_10(base, parsed, queries, {32, 64, 128, 256});
  std::printf("recall@10 n=%zu d=%zu: ef32 %.3f  ef64 %.3f  ef128 %.3f  ef256 %.3f\n", base.size(),
              d, r[0], r[1], r[2], r[3]);
  EXPECT_LE(r[0], r[3] + 1e-9) << "a wider beam must not lose recall";
  return r;
}

TEST(GraphSearchQuality, DefaultBuildRecallInSixteenDimensions) {
  EXPECT_GE(default_build_recall(16)[2], 0.8);
}

TEST(GraphSearchQuality, DefaultBuildRecallInSixtyFourDimensions) {
  EXPECT_GE(default_build_recall(64)[3], 0.8);
}

TEST(GraphSearchQuality, IncrementalNodesAreFound) {
  const UnitVectors base(kQualityNodes / 4, 16, 21);
  const UnitVectors queries(100, 16, 22);
  GraphData graph = build_graph(base.size() * 4 / 5, {32, 200, 5}, base.build_scorer());
  extend_graph(graph, base.size(), {32, 200, 5}, base.build_scorer());
  const auto r = recall_at_10(base, testing::parse(graph), queries, {128});
  std::printf("recall@10 after growing by 25%%: ef128 %.3f\n", r[0]);
  EXPECT_GE(r[0], 0.8);
}

}  // namespace
}  // namespace velq

namespace velq {
namespace {

Level0Reach reach_of(const GraphData& graph) {
  return level0_reach(static_cast<std::uint32_t>(graph.size()), graph.entry_point,
                      [&](std::uint32_t node) { return graph.lists[0][node]; });
}

TEST(GraphReach, CountsReachableAndUnnamedNodes) {
  // 0 <-> 1, 2 -> 0 (nobody names 2), island 3 <-> 4, and a stray id.
  GraphData graph;
  graph.resize(5);
  graph.lists[0] = {{1, 99}, {0}, {0}, {4}, {3}};
  Level0Reach reach = reach_of(graph);
  EXPECT_EQ(reach.reachable, 2u);
  EXPECT_EQ(reach.without_incoming, 1u);
  graph.entry_point = 2;
  EXPECT_EQ(reach_of(graph).reachable, 3u);
  graph.entry_point = 5;
  EXPECT_EQ(reach_of(graph).reachable, 0u);
}

TEST(GraphSearchQuality, ClusteredSetIsWhollyReachable) {
  // Tight clusters: every node's best neighbours lie in its own cluster.
  // Lists chosen by score alone fall apart into islands here.
  const std::size_t n = kQualityNodes / 4;
  const UnitVectors base(n, 32, 31, n / 50, 0.5f);
  const UnitVectors queries(100, 32, 32, n / 50, 0.5f);
  const GraphData graph = build_graph(n, {32, 200, 5}, base.build_scorer());
  const Level0Reach reach = reach_of(graph);
  EXPECT_EQ(reach.reachable, n);
  EXPECT_EQ(reach.without_incoming, 0u);
  const auto r = recall_at_10(base, testing::parse(graph), queries, {64});
  std::printf("clustered recall@10 n=%zu: ef64 %.3f\n", n, r[0]);
  EXPECT_GE(r[0], 0.95);
}

}  // namespace
}  // namespace velq

namespace velq {
namespace {

using Ordered = std::set<ScoredNode, decltype(&ranks_first)>;

ScoredNode pop_best(Ordered& queue) {
  const ScoredNode best = *queue.begin();
  queue.erase(queue.begin());
  return best;
}

double worst_of(const Ordered& results) {
  return results.empty() ? -std::numeric_limits<double>::infinity() : results.rbegin()->score;
}

// The search written plainly from its description, reading the lists from
// memory: ordered sets for both queues, a hash set per upper level, a byte
// per node on level 0, and every level-0 neighbour queued.
std::vector<ScoredNode> reference_search(const GraphData& graph, std::size_t k, std::size_t ef,
                                         const NodeScorer& score,
                                         const std::function<bool(std::uint32_t)>& passes) {
  const std::size_t n = graph.size();
  if (n == 0 || graph.entry_point >= n) return {};
  std::vector<ScoredNode> entries{{graph.entry_point, score(graph.entry_point)}};
  for (std::uint32_t level = std::min(graph.max_level, 5u); level >= 1; --level) {
    std::unordered_set<std::uint32_t> visited;
    Ordered queue(ranks_first), results(ranks_first);
    for (const ScoredNode& e : entries) {
      visited.insert(e.node);
      queue.insert(e);
      results.insert(e);
    }
    while (!queue.empty()) {
      const ScoredNode c = pop_best(queue);
      if (results.size() >= 32 && ranks_before(worst_of(results), c.score)) break;
      for (const std::uint32_t v : graph.lists[level][c.node]) {
        if (v >= n || !visited.insert(v).second) continue;
        const ScoredNode hit{v, score(v)};
        if (results.size() < 32 || ranks_before(hit.score, worst_of(results))) {
          queue.insert(hit);
          results.insert(hit);
          if (results.size() > 32) results.erase(std::prev(results.end()));
        }
      }
    }
    entries.assign(results.begin(), results.end());
  }
  std::vector<std::uint8_t> visited(n, 0);
  Ordered queue(ranks_first), results(ranks_first);
  for (const ScoredNode& e : entries) {
    queue.insert(e);
    visited[e.node] = 1;
    if (passes(e.node)) results.insert(e);
  }
  while (!queue.empty()) {
    const ScoredNode c = pop_best(queue);
    if (results.size() >= ef && ranks_before(worst_of(results), c.score)) break;
    for (const std::uint32_t v : graph.lists[0][c.node]) {
      if (v >= n || visited[v] != 0) continue;
      visited[v] = 1;
      const ScoredNode hit{v, score(v)};
      queue.insert(hit);
      if (!passes(v)) continue;
      const bool full = results.size() >= ef;
      if (full && !ranks_before(hit.score, worst_of(results))) continue;
      results.insert(hit);
      if (full) results.erase(std::prev(results.end()));
    }
  }
  std::vector<ScoredNode> hits(results.begin(), results.end());
  if (hits.size() > k) hits.resize(k);
  return hits;
}

// A random multi-level graph with ascending lists, some naming nodes
// outside the graph; when `long_lists`, node 0 lists most of level 0.
GraphData random_graph(std::mt19937_64& rng, std::uint32_t n, std::size_t degree,
                       bool long_lists) {
  GraphData graph;
  graph.resize(n);
  for (std::uint32_t& level : graph.levels) level = rng() % 8 == 0 ? 1 + rng() % 3 : 0;
  for (std::uint32_t v = 0; v < n; ++v) {
    if (graph.levels[v] >= graph.max_level) graph.entry_point = v;
    graph.max_level = std::max(graph.max_level, graph.levels[v]);
  }
  for (std::uint32_t level = 0; level <= graph.max_level; ++level) {
    const std::vector<std::uint32_t> pool = nodes_at_level(graph.levels, 0, n, level);
    for (const std::uint32_t v : pool) {
      std::set<std::uint32_t> list;
      const std::size_t want = long_lists && v == 0 && level == 0 ? 3 * n / 4 : rng() % degree;
      for (std::size_t i = 0; i < want; ++i) {
        const std::uint32_t w = pool[rng() % pool.size()];
        if (w != v) list.insert(w);
      }
      if (rng() % 16 == 0) list.insert(n + static_cast<std::uint32_t>(rng() % 4));
      graph.lists[level][v].assign(list.begin(), list.end());
    }
  }
  return graph;
}

bool same_hits(const std::vector<ScoredNode>& a, const std::vector<ScoredNode>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool same_score =
        a[i].score == b[i].score || (std::isnan(a[i].score) && std::isnan(b[i].score));
    if (a[i].node != b[i].node || !same_score) return false;
  }
  return true;
}

TEST(GraphSearchDifferential, MatchesThePlainSearchOnGraphsWithTies) {
  std::mt19937_64 rng(5);
  const double values[] = {0.0, 0.5, 0.5, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
  for (int trial = 0; trial < 200; ++trial) {
    const std::uint32_t n = 50 + static_cast<std::uint32_t>(rng() % 500);
    const GraphData graph = random_graph(rng, n, trial % 2 == 0 ? 6 : 24, trial % 10 == 0);
    const ParsedGraph parsed = testing::parse(graph);
    std::vector<double> scores(n);
    for (double& s : scores) s = values[rng() % (trial % 3 == 0 ? 5 : 6)];
    std::vector<std::uint32_t> fast_calls, plain_calls;
    const NodeScorer fast = [&](std::uint32_t v) { return fast_calls.push_back(v), scores[v]; };
    const NodeScorer plain = [&](std::uint32_t v) { return plain_calls.push_back(v), scores[v]; };

    SlotFilter filter(n, {});
    for (std::uint32_t v = 0; v < n; ++v) {
      if (rng() % 2 == 0) filter.allowed.insert(100 + v);
    }
    const bool filtered = trial % 4 == 1;
    const auto passes = [&](std::uint32_t v) {
      return !filtered || filter.allowed.contains(100 + v);
    };
    const std::size_t ef = std::size_t{1} << (rng() % 8);
    const std::size_t k = 1 + rng() % 40;
    const NodePrefetch hint = [](std::uint32_t) {};
    const auto got = search_graph(parsed.adjacency(), k, ef, fast, filtered ? &filter.filter : nullptr,
                                  trial % 2 == 0 ? hint : nullptr);
    const auto want = reference_search(graph, k, ef, plain, passes);
    ASSERT_TRUE(same_hits(got, want)) << "trial " << trial;
    ASSERT_EQ(fast_calls, plain_calls) << "trial " << trial << ": the walks differ";
  }
}

// The batch form hands over each expanded node's unvisited neighbours at
// once: the same nodes in the same order as the plain walk scores them one by
// one, and the same hits.
TEST(GraphSearchDifferential, BatchScoringWalksAsThePlainSearch) {
  std::mt19937_64 rng(13);
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint32_t n = 50 + static_cast<std::uint32_t>(rng() % 400);
    const GraphData graph = random_graph(rng, n, trial % 2 == 0 ? 8 : 30, trial % 7 == 0);
    std::vector<double> scores(n);
    for (double& s : scores) s = static_cast<double>(rng() % 9);
    std::vector<std::uint32_t> batched, plain_calls;
    std::size_t batches = 0;
    const NodeBatchScorer batch = [&](std::span<const std::uint32_t> nodes,
                                      std::span<double> out) {
      ASSERT_EQ(nodes.size(), out.size());
      ASSERT_FALSE(nodes.empty());
      ++batches;
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        batched.push_back(nodes[i]);
        out[i] = scores[nodes[i]];
      }
    };
    const NodeScorer plain = [&](std::uint32_t v) { return plain_calls.push_back(v), scores[v]; };
    const std::size_t ef = 1 + rng() % 64;
    const auto got = search_graph(testing::parse(graph).adjacency(), 10, ef, batch, nullptr);
    const auto want = reference_search(graph, 10, ef, plain, [](std::uint32_t) { return true; });
    ASSERT_TRUE(same_hits(got, want)) << "trial " << trial;
    ASSERT_EQ(batched, plain_calls) << "trial " << trial;
    if (batched.size() > 8) {
      EXPECT_LT(batches, batched.size()) << "trial " << trial;
    }
  }
}

// A beam of width 0 holds one node once the entry is in it, and none when a
// filter keeps the entry out, however high the others score.
TEST(GraphSearchDifferential, ABeamOfNoWidthAsThePlainSearch) {
  const GraphData graph = path_graph(4);
  const ParsedGraph parsed = testing::parse(graph);
  const std::vector<double> scores = {1.0, std::numeric_limits<double>::infinity(), 2.0, 3.0};
  const NodeScorer plain = [&](std::uint32_t v) { return scores[v]; };
  const auto all = [](std::uint32_t) { return true; };
  const auto open = search_graph(parsed.adjacency(), 10, 0, plain, nullptr);
  EXPECT_TRUE(same_hits(open, reference_search(graph, 10, 0, plain, all)));
  EXPECT_EQ(nodes_of(open), std::vector<std::uint32_t>{1});
  SlotFilter no_entry(4, {1, 2, 3});
  const auto passes = [&](std::uint32_t v) { return v != 0; };
  const auto filtered = search_graph(parsed.adjacency(), 10, 0, plain, &no_entry.filter);
  EXPECT_TRUE(same_hits(filtered, reference_search(graph, 10, 0, plain, passes)));
  EXPECT_TRUE(filtered.empty());
}

// One level of n nodes, each listing `degree` random others.
GraphData flat_graph(std::mt19937_64& rng, std::uint32_t n, std::size_t degree) {
  GraphData graph;
  graph.resize(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    for (std::size_t i = 0; i < degree; ++i) {
      const std::uint32_t w = static_cast<std::uint32_t>(rng() % n);
      if (w != v) graph.lists[0][v].push_back(w);
    }
  }
  return graph;
}

// The visited marks are narrow stamps that every search on a thread reuses
// and refills when they run out. A search of one level clears them once:
// searching the larger graph every 256th search meets the stamps it left
// the time before, unless they were refilled in between.
TEST(GraphSearchDifferential, ManySearchesOnOneThreadKeepTheirMarksApart) {
  std::mt19937_64 rng(21);
  const GraphData small = flat_graph(rng, 100, 8);
  const GraphData large = flat_graph(rng, 400, 8);
  const ParsedGraph small_file = testing::parse(small);
  const ParsedGraph large_file = testing::parse(large);
  std::vector<double> scores(400);
  for (double& s : scores) s = static_cast<double>(rng() % 11);
  const NodeScorer plain = [&](std::uint32_t v) { return scores[v]; };
  const auto all = [](std::uint32_t) { return true; };
  const auto want_small = reference_search(small, 10, 16, plain, all);
  const auto want_large = reference_search(large, 10, 16, plain, all);
  for (int search = 0; search < 4 * 256; ++search) {
    const bool big = search % 256 == 0;
    const auto got = search_graph((big ? large_file : small_file).adjacency(), 10, 16, plain, nullptr);
    ASSERT_TRUE(same_hits(got, big ? want_large : want_small)) << "search " << search;
  }
}

TEST(GraphSearchDifferential, ASearchInsideTheScorerKeepsItsOwnMarks) {
  std::mt19937_64 rng(8);
  const GraphData outer = random_graph(rng, 300, 12, false);
  const ParsedGraph outer_file = testing::parse(outer);
  const ParsedGraph inner_file = testing::parse(random_graph(rng, 200, 12, false));
  std::vector<double> scores(300);
  for (double& s : scores) s = static_cast<double>(rng() % 7);
  TableScorer inner_scores{std::vector<double>(200, 1.0)};
  const NodeScorer nesting = [&](std::uint32_t v) {
    (void)search_graph(inner_file.adjacency(), 5, 8, inner_scores.fn(), nullptr);
    return scores[v];
  };
  const NodeScorer plain = [&](std::uint32_t v) { return scores[v]; };
  const auto all = [](std::uint32_t) { return true; };
  EXPECT_TRUE(same_hits(search_graph(outer_file.adjacency(), 10, 32, nesting, nullptr),
                        reference_search(outer, 10, 32, plain, all)));
}

}  // namespace
}  // namespace velq
