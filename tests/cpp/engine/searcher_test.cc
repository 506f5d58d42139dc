// Graph-assisted search: recall after a build, the filtered answer against
// the exhaustive one over the same candidates, the delta merge, the
// usability test, and many query rows on the pool at once.
#include "engine/searcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <span>
#include <string>

#include "common/worker_pool.h"
#include "engine/filter_resolve.h"
#include "engine/index_build.h"
#include "engine/search_scan.h"
#include "engine/slot_scorer.h"
#include "search_test_util.h"

namespace velq::testing {
namespace {

constexpr IndexParams kParams = kSmallIndex;

Result<std::vector<SearchResult>> ann(const SearchDb& db, const std::vector<double>& q, std::uint64_t k,
                                      const JsonObject* filter = nullptr,
                                      std::optional<std::uint64_t> list_size = std::nullopt) {
  return search_with_filter_and_ann(*db.state, q, k, filter, list_size, true);
}

std::vector<SearchResult> exhaustive(const SearchDb& db, const std::vector<double>& q, std::uint64_t k) {
  return exhaustive_search_simd(*db.state, q, k, nullptr, std::nullopt).value();
}

// L2 walks score nodes from <q, x̂> and the reconstruction norms, as the
// scan scores candidates.
TEST(GraphSearch, RecallAfterBuild) {
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    SearchDb db(small_options(metric), 5'000, 1, 50);
    ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
    ASSERT_TRUE(db.state->index.usable());
    for (const std::uint64_t list : {32, 128}) {
      double sum = 0;
      for (unsigned i = 0; i < 20; ++i) {
        const std::vector<double> q = db.query(i);
        sum += recall(ids_of(ann(db, q, 10, nullptr, list).value()), ids_of(exhaustive(db, q, 10)));
      }
      std::printf("graph recall@10 vs exhaustive, %s, L = %zu: %.3f\n",
                  std::string(metric_name(metric)).c_str(), static_cast<std::size_t>(list), sum / 20);
      EXPECT_GE(sum / 20, 0.8);
    }
  }
}

// The L2 walk's node scores against the plain rule on the decoded vectors:
// every hit scores minus its distance from the query to x̂ times the stored
// norm, up to the rounding of the f32 transforms, with and without sign bits.
TEST(GraphSearch, L2HitsScoreTheDistanceToTheDecodedVector) {
  for (const bool fast : {false, true}) {
    SearchDb db(small_options(DistanceMetric::kL2, RerankPrecision::kDisabled, fast, false), 3'000,
                4, 100);
    ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
    for (unsigned i = 0; i < 10; ++i) {
      const std::vector<double> q = db.query(i);
      const std::vector<SearchResult> hits = ann(db, q, 10).value();
      ASSERT_EQ(hits.size(), 10u);
      for (const SearchResult& hit : hits) {
        const std::uint32_t slot = db.state->id_pool.get_slot(hit.id).value();
        std::vector<double> decoded;
        dequantize_slots(*db.state, std::span(&slot, 1), decoded);
        double squared = 0.0, lengths = 0.0;
        for (std::size_t j = 0; j < q.size(); ++j) {
          squared += (q[j] - decoded[j]) * (q[j] - decoded[j]);
          lengths += q[j] * q[j] + decoded[j] * decoded[j];
        }
        // The query's f32 rotation rounds the product to about 1e-7 of the
        // lengths.
        ASSERT_LE(hit.score, 0.0);
        EXPECT_NEAR(hit.score * hit.score, squared, 1e-6 * lengths) << hit.id << (fast ? " fast" : "");
      }
    }
  }
}

// With raw vectors kept, every hit the graph returns is rescored from them
// and the best kept, so a graph whose code scores misorder close
// neighbours still answers about as well as the exhaustive scan.
TEST(GraphSearch, RawVectorsRescoreEveryGraphHit) {
  // Tight clusters: many near-ties that 4-bit codes cannot order.
  SearchDb db(small_options(DistanceMetric::kL2, RerankPrecision::kF16), 6'000, 9, 300);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  double graph = 0, scan = 0;
  constexpr unsigned kQueries = 40;
  for (unsigned i = 0; i < kQueries; ++i) {
    // Queries near stored rows: their neighbours are the cluster's.
    std::vector<double> q(db.rows[i * 131].begin(), db.rows[i * 131].end());
    q[i % q.size()] += 0.05;
    const std::vector<std::string> truth = db.exact_top(q, 10);
    graph += recall(ids_of(ann(db, q, 10).value()), truth);
    scan += recall(ids_of(exhaustive(db, q, 10)), truth);
  }
  std::printf("recall@10 with f16 raw vectors: graph %.3f, scan %.3f\n", graph / kQueries,
              scan / kQueries);
  EXPECT_GE(graph / kQueries, 0.95);
  EXPECT_GE(graph / kQueries, scan / kQueries - 0.03);
}

TEST(GraphSearch, UnusableIndexSearchesExhaustively) {
  SearchDb db(small_options(), 600, 2, 10);
  const std::vector<double> q = db.query(1);
  // No index yet; then with use_ann off.
  expect_same_results(ann(db, q, 10).value(), exhaustive(db, q, 10));
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  expect_same_results(search_with_filter_and_ann(*db.state, q, 10, nullptr, 64, false).value(),
                      exhaustive(db, q, 10));
  // More graph nodes than listed slots, with the stored node count matching
  // the list: the graph would name a node without a slot, so it must not be
  // used.
  const std::span<const std::uint32_t> nodes = db.state->index.node_slots();
  std::vector<std::uint32_t> fewer(nodes.begin(), nodes.end() - 1);
  IndexState params = *db.state->index.params();
  params.indexed_nodes = fewer.size();
  db.state->index = EngineIndex(GraphManager::open(db.state->backend, db.state->local_dir).value(),
                                std::move(fewer), {}, params);
  ASSERT_TRUE(db.state->index.has_graph());
  EXPECT_FALSE(db.state->index.usable());
  expect_same_results(ann(db, q, 10).value(), exhaustive(db, q, 10));
}

TEST(GraphSearch, FilteredAnswers) {
  SearchDb db(small_options(), 2'000, 3, 20);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  const std::vector<double> q = db.query(2);
  // Selective (fewer than 1/20 of the records): exactly the exhaustive
  // answer over the filter's candidates.
  const JsonObject range({JsonMember("i", JsonValue::object(JsonObject({JsonMember("$lt", JsonValue::integer(std::uint64_t{99}))})))});
  const std::vector<std::uint32_t> few = filter_candidates(*db.state, range);
  ASSERT_EQ(few.size(), 99u);
  expect_same_results(ann(db, q, 10, &range).value(),
                      exhaustive_search_simd(*db.state, q, 10, nullptr, std::span(few)).value());
  // Wider: through the graph, and every hit matches.
  const JsonObject group({JsonMember("group", JsonValue::integer(std::uint64_t{7}))});
  const auto hits = ann(db, q, 10, &group, 200).value();
  ASSERT_EQ(hits.size(), 10u);
  for (const SearchResult& r : hits) EXPECT_EQ(r.metadata.find("group")->as_unsigned(), 7u);
  const auto want = exhaustive_search_simd(*db.state, q, 10, &group, std::nullopt).value();
  EXPECT_GE(recall(ids_of(hits), ids_of(want)), 0.7);
}

TEST(GraphSearch, DeltaMerge) {
  for (const bool rerank : {true, false}) {
    SearchDb db(small_options(DistanceMetric::kIp, RerankPrecision::kDisabled, false, rerank), 1'000, 4, 10);
    ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
    // Records written after the build: far ahead of the rest along q.
    const std::vector<double> q = db.query(5);
    std::vector<BatchWriteItem> items;
    for (int k = 0; k < 3; ++k) {
      std::vector<float> v(q.begin(), q.end());
      for (float& x : v) x *= 10.0f + k;
      items.push_back({numbered("new", static_cast<std::size_t>(k)), v, {}, std::nullopt});
    }
    ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(items), WriteMode::kInsert).ok());
    ASSERT_TRUE(db.state->index.usable());
    ASSERT_EQ(db.state->index.delta().size(), 3u);
    const auto r = ann(db, q, 5).value();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].id, "new2");
    EXPECT_EQ(r[1].id, "new1");
    EXPECT_EQ(r[2].id, "new0");
    // A delta slot that is no longer alive is never returned.
    ASSERT_TRUE(db.state->id_pool.delete_by_id("new2").has_value());
    const auto after = ann(db, q, 5).value();
    for (const SearchResult& x : after) EXPECT_NE(x.id, "new2");
    EXPECT_EQ(ann(db, q, 5).value()[0].id, "new1");
    // A filter applies to delta hits too.
    const JsonObject group({JsonMember("group", JsonValue::integer(std::uint64_t{1}))});
    const auto filtered = ann(db, q, 5, &group).value();
    ASSERT_EQ(filtered.size(), 5u);
    for (const SearchResult& x : filtered) EXPECT_NE(x.id.substr(0, 3), "new");
  }
}

// Records rewritten after the build: moved far away, the graph alone would
// not lead to them; nudged, both the graph and the delta merge reach them.
// Either way each is found once, and answers stay full.
TEST(GraphSearch, RewrittenNodesAreFoundOnceThroughTheDelta) {
  SearchDb db(small_options(), 12'000, 8, 40);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  std::vector<BatchWriteItem> moved;
  std::vector<std::vector<double>> targets;
  for (unsigned k = 0; k < 6; ++k) {
    const std::vector<double> q = db.query(100 + k);
    targets.push_back(q);
    std::vector<float> v(q.begin(), q.end());
    for (float& x : v) x *= 4.0f;
    moved.push_back({numbered("r", 1'000 * k + 17), v, {}, std::nullopt});
  }
  std::vector<BatchWriteItem> nudged;
  for (std::size_t i = 6'000; i < 6'040; ++i) {
    std::vector<float> v = db.rows[i];
    v[0] += 0.01f;
    nudged.push_back({numbered("r", i), v, {}, std::nullopt});
  }
  ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(moved), WriteMode::kUpdate).ok());
  ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(nudged), WriteMode::kUpsert).ok());
  ASSERT_TRUE(db.state->index.usable());
  EXPECT_EQ(db.state->index.delta().size(), 46u);
  for (unsigned k = 0; k < 6; ++k) {
    const auto r = ann(db, targets[k], 10).value();
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r[0].id, numbered("r", 1'000 * k + 17)) << k;
  }
  for (std::size_t i = 6'000; i < 6'040; ++i) {
    const std::vector<double> q(db.rows[i].begin(), db.rows[i].end());
    std::vector<std::string> ids = ids_of(ann(db, q, 10).value());
    ASSERT_EQ(ids.size(), 10u);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "a record twice, query " << i;
  }
}

TEST(GraphSearch, SizesFromTheCaller) {
  SearchDb db(small_options(), 10, 6);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  const std::vector<double> q = db.query(1);
  EXPECT_EQ(ann(db, q, 1'000'000'000'000'000).value().size(), 10u);
  EXPECT_EQ(ann(db, q, UINT64_MAX, nullptr, UINT64_MAX).value().size(), 10u);
  EXPECT_TRUE(ann(db, q, 0).value().empty());
}

// Run under RAYON_NUM_THREADS = 1, 2 and unset (see CMakeLists.txt): every
// row scores more than 20,000 candidates on the pool from inside a pool
// task, and the rows' answers equal the same searches run one by one.
TEST(QueryRows, NestedPoolLoopsGiveTheSerialAnswers) {
  SearchDb db(small_options(DistanceMetric::kL2), 24'000, 7);
  constexpr std::size_t kRows = 24;
  std::vector<std::vector<SearchResult>> serial(kRows), rows(kRows);
  for (std::size_t i = 0; i < kRows; ++i) serial[i] = ann(db, db.query(i), 10).value();
  parallel_for_each(kRows, 1, [&](std::size_t i) { rows[i] = ann(db, db.query(i), 10).value(); });
  for (std::size_t i = 0; i < kRows; ++i) expect_same_results(rows[i], serial[i]);
  std::printf("pool threads: %zu\n", pool_thread_count());
}

// Rows prepared together (as query() prepares them) give each search the
// answer of a search that prepares its own query: normalised and raw
// queries, every metric, the scan and the graph, dense and SRHT rotations.
TEST(QueryRows, QueriesPreparedTogetherGiveTheSameAnswers) {
  constexpr std::size_t kRows = 9;
  for (const char* rotation : {"dense", "srht"}) {
    for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
      for (const bool normalize : {false, true}) {
        EngineOptions o = small_options(metric);
        o.quantizer_type = rotation;
        o.normalize = normalize;
        SearchDb db(o, 700, 5, 10);
        ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
        std::vector<double> rows;
        for (unsigned i = 0; i < kRows; ++i) {
          std::vector<double> q = db.query(i);
          for (double& x : q) x *= 3.0 + i;  // lengths other than 1, so normalising shows
          rows.insert(rows.end(), q.begin(), q.end());
        }
        const std::vector<PreparedIpQuery> prepared = prepare_search_queries(*db.state, rows);
        ASSERT_EQ(prepared.size(), kRows);
        for (std::size_t i = 0; i < kRows; ++i) {
          SCOPED_TRACE(std::string(rotation) + " " + std::string(metric_name(metric)) +
                       (normalize ? " normalised" : "") + " row " + std::to_string(i));
          const std::span<const double> q = std::span(rows).subspan(i * db.state->d(), db.state->d());
          for (const bool graph : {false, true}) {
            expect_same_results(
                search_with_filter_and_ann(*db.state, q, 10, nullptr, std::nullopt, graph, &prepared[i]).value(),
                search_with_filter_and_ann(*db.state, q, 10, nullptr, std::nullopt, graph).value());
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace velq::testing
