// Exhaustive search: recall against exact float search, the pool and order
// rules, candidate lists, and the sizes a caller may ask for.
#include "engine/search_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <limits>

#include "engine/raw_vectors.h"
#include "engine/deletes.h"
#include "engine/flush.h"
#include "engine/search_results.h"
#include "engine/slot_scorer.h"
#include "search/vector_scoring.h"
#include "engine/filter_resolve.h"
#include "search_test_util.h"

namespace velq::testing {
namespace {

EngineOptions options(std::size_t d, DistanceMetric metric, RerankPrecision precision,
                      bool rerank = true, const char* rotation = "dense", bool fast = false) {
  EngineOptions o;
  o.d = d;
  o.metric = metric;
  o.rerank = rerank;
  o.rerank_precision = precision;
  o.quantizer_type = rotation;
  o.fast_mode = fast;
  return o;
}

double mean_recall(const SearchDb& db, int queries) {
  double sum = 0;
  for (int i = 0; i < queries; ++i) {
    const std::vector<double> q = db.query(i);
    auto r = exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt);
    EXPECT_TRUE(r.ok());
    sum += recall(ids_of(r.value()), db.exact_top(q, 10));
  }
  return sum / queries;
}

TEST(ExhaustiveSearch, RawVectorRerankIsExact) {
  for (const DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    const SearchDb db(options(128, m, RerankPrecision::kF32), 20'000);
    const double r = mean_recall(db, 10);
    std::printf("recall@10 f32 rerank %s: %.3f\n", std::string(metric_name(m)).c_str(), r);
    EXPECT_GE(r, 0.97) << metric_name(m);
  }
}

TEST(ExhaustiveSearch, RecallFromCodes) {
  struct Case {
    const char* rotation;
    bool fast;
  };
  for (const Case c : {Case{"dense", false}, Case{"srht", false}, Case{"dense", true}, Case{"srht", true}}) {
    for (const DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
      for (const bool rerank : {true, false}) {
        const SearchDb db(options(128, m, RerankPrecision::kDisabled, rerank, c.rotation, c.fast), 20'000);
        const double r = mean_recall(db, 5);
        std::printf("recall@10 %s %s%s, %s: %.3f\n", std::string(metric_name(m)).c_str(), c.rotation,
                    c.fast ? " fast" : "", rerank ? "rerank from codes" : "no rerank", r);
        EXPECT_GE(r, 0.3) << metric_name(m) << " " << c.rotation;
      }
    }
  }
}

TEST(ExhaustiveSearch, SerialAndParallelScansAgree) {
  // 20,001 candidates run in parallel chunks, 20,000 on one thread; leaving
  // out the worst record cannot change the answer.
  for (const DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    const SearchDb db(options(32, m, RerankPrecision::kDisabled, false), 20'001);
    const std::vector<double> q = db.query(3);
    std::vector<std::uint32_t> all = db.state->id_pool.active_slots();
    const auto full = exhaustive_search_simd(*db.state, q, 20'001, nullptr, std::span(all)).value();
    const std::string worst = full.back().id;
    std::vector<std::uint32_t> fewer;
    for (const std::uint32_t s : all) {
      if (*db.state->id_pool.id_at(s) != worst) fewer.push_back(s);
    }
    ASSERT_EQ(fewer.size(), 20'000u);
    const auto a = exhaustive_search_simd(*db.state, q, 10, nullptr, std::span(all)).value();
    const auto b = exhaustive_search_simd(*db.state, q, 10, nullptr, std::span(fewer)).value();
    expect_same_results(a, b);
    expect_same_results(a, exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt).value());
  }
}

TEST(ExhaustiveSearch, SizesFromTheCaller) {
  const SearchDb db(options(16, DistanceMetric::kIp, RerankPrecision::kF16), 10);
  const std::vector<double> q = db.query(1);
  for (const std::uint64_t k : {std::uint64_t{1'000'000'000'000'000}, std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_EQ(exhaustive_search_simd(*db.state, q, k, nullptr, std::nullopt).value().size(), 10u);
  }
  EXPECT_TRUE(exhaustive_search_simd(*db.state, q, 0, nullptr, std::nullopt).value().empty());
  const auto three = exhaustive_search_simd(*db.state, q, 3, nullptr, std::nullopt).value();
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(ids_of(three), db.exact_top(q, 3));
}

TEST(ExhaustiveSearch, CandidateLists) {
  const SearchDb db(options(16, DistanceMetric::kIp, RerankPrecision::kF32), 300);
  const std::vector<double> q = db.query(2);
  // A filter: every answer matches it.
  const JsonObject group3 = JsonObject({JsonMember("group", JsonValue::integer(std::uint64_t{3}))});
  const auto filtered = exhaustive_search_simd(*db.state, q, 50, &group3, std::nullopt).value();
  EXPECT_EQ(filtered.size(), 30u);
  for (const SearchResult& r : filtered) EXPECT_EQ(r.metadata.find("group")->as_unsigned(), 3u);
  // Given candidates and a filter: only the given ones that match.
  const std::vector<std::uint32_t> given = {3, 13, 14, 23};
  const auto both = exhaustive_search_simd(*db.state, q, 50, &group3, std::span(given)).value();
  EXPECT_EQ(both.size(), 3u);
  // A filter nobody matches, and an empty list: empty answers.
  const JsonObject none = JsonObject({JsonMember("group", JsonValue::integer(std::uint64_t{99}))});
  EXPECT_TRUE(exhaustive_search_simd(*db.state, q, 5, &none, std::nullopt).value().empty());
  EXPECT_TRUE(exhaustive_search_simd(*db.state, q, 5, nullptr, std::span<const std::uint32_t>()).value().empty());
}

TEST(ExhaustiveSearch, InactiveGivenSlotHasNoId) {
  SearchDb db(options(16, DistanceMetric::kIp, RerankPrecision::kDisabled), 5);
  ASSERT_TRUE(db.state->id_pool.delete_by_id("r2").has_value());
  const std::vector<std::uint32_t> given = {2};
  const auto r = exhaustive_search_simd(*db.state, db.query(1), 5, nullptr, std::span(given)).value();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].id, "");
}

TEST(ExhaustiveSearch, ZeroCosineQueryScoresZero) {
  for (const RerankPrecision p : {RerankPrecision::kDisabled, RerankPrecision::kF32}) {
    const SearchDb db(options(16, DistanceMetric::kCosine, p, p != RerankPrecision::kDisabled), 20);
    const std::vector<double> zero(16, 0.0);
    const auto r = exhaustive_search_simd(*db.state, zero, 5, nullptr, std::nullopt).value();
    ASSERT_EQ(r.size(), 5u);
    for (const SearchResult& x : r) EXPECT_EQ(x.score, 0.0);
  }
}

TEST(FilterCandidates, IndexAnswersAndFullScans) {
  SearchDb db(options(16, DistanceMetric::kIp, RerankPrecision::kDisabled), 100);
  const EngineState& s = *db.state;
  // Two indexed equalities: the ascending intersection, no test needed.
  const JsonObject eq({JsonMember("group", JsonValue::integer(std::uint64_t{4})), JsonMember("i", JsonValue::integer(std::uint64_t{24}))});
  EXPECT_EQ(filter_candidates(s, eq), std::vector<std::uint32_t>{24});
  const auto resolved = resolve_filter_via_index(s, eq);
  ASSERT_TRUE(resolved.has_value());
  EXPECT_TRUE(resolved->exact);
  // A range: the index's superset, then each slot tested.
  const JsonObject range({JsonMember("i", JsonValue::object(JsonObject({JsonMember("$gte", JsonValue::integer(std::uint64_t{10})), JsonMember("$lt", JsonValue::integer(std::uint64_t{14}))})))});
  EXPECT_EQ(filter_candidates(s, range), (std::vector<std::uint32_t>{10, 11, 12, 13}));
  // "$or": the full scan, ascending.
  std::vector<JsonValue> alts;
  alts.push_back(JsonValue::object(JsonObject({JsonMember("i", JsonValue::integer(std::uint64_t{70}))})));
  alts.push_back(JsonValue::object(JsonObject({JsonMember("i", JsonValue::integer(std::uint64_t{5}))})));
  const JsonObject any({JsonMember("$or", JsonValue::array(std::move(alts)))});
  EXPECT_FALSE(resolve_filter_via_index(s, any).has_value());
  EXPECT_EQ(filter_candidates(s, any), (std::vector<std::uint32_t>{5, 70}));
  // A slot the index lists but that is no longer active is dropped.
  ASSERT_TRUE(db.state->id_pool.delete_by_id("r24").has_value());
  EXPECT_TRUE(filter_candidates(*db.state, eq).empty());
}

TEST(ResultOrder, StableAndNanLast) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<SearchResult> r;
  for (const double s : {1.0, nan, 3.0, 1.0, nan, 2.0, 3.0}) r.push_back({std::to_string(r.size()), s, {}, {}});
  sort_and_truncate(r, 6);
  EXPECT_EQ(ids_of(r), (std::vector<std::string>{"2", "6", "5", "0", "3", "1"}));
  EXPECT_EQ(saturating_mul(std::numeric_limits<std::uint64_t>::max() / 3, 10),
            std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace velq::testing

namespace velq::testing {
namespace {

TEST(RawVectors, ReadBackAtEachWidth) {
  for (const RerankPrecision p : {RerankPrecision::kF32, RerankPrecision::kF16, RerankPrecision::kDisabled}) {
    const SearchDb db(options(16, DistanceMetric::kIp, p), 3);
    const std::uint32_t slot = *db.state->id_pool.get_slot("r1");
    const std::vector<double> v = live_raw_vector_at_slot(*db.state, slot);
    ASSERT_EQ(v.size(), 16u);
    for (std::size_t j = 0; j < 16; ++j) {
      const double want = p == RerankPrecision::kDisabled ? 0.0 : db.rows[1][j];
      EXPECT_NEAR(v[j], want, p == RerankPrecision::kF16 ? 2e-3 * (1 + std::abs(want)) : 0.0);
    }
  }
}

}  // namespace
}  // namespace velq::testing

namespace velq::testing {
namespace {

// The written rule's score of a result: its slot's code decoded, times its
// stored norm, scored against the query.
double decoded_rule_score(const EngineState& state, std::span<const double> q,
                          const SearchResult& r) {
  const std::uint32_t slot = state.id_pool.get_slot(r.id).value();
  std::vector<double> v;
  dequantize_slots(state, std::span(&slot, 1), v);
  return filter::score_vectors_with_metric(state.metric(), q, v);
}

// Reranking from codes without decoding gives each result the decoded
// vector's score up to rounding, in the decoded scores' order but for
// near-ties; L2's answer is the decoded rule's best over every slot. Small
// pools are decoded, bit for bit the written rule. The reconstruction norms
// behind Cosine and L2 follow overwrites and compaction.
TEST(ExhaustiveSearch, RerankFromCodesMatchesDecodedScores) {
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    SCOPED_TRACE(metric_name(metric));
    SearchDb db(options(64, metric, RerankPrecision::kDisabled), 3'000, 4, 30);
    ASSERT_EQ(db.state->reconstruction_norms.has_value(), metric != DistanceMetric::kIp);
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 6; ++i) {
        const std::vector<double> q = db.query(i);
        const auto results = exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt).value();
        ASSERT_EQ(results.size(), 10u);
        std::vector<double> written;
        for (const SearchResult& r : results) {
          written.push_back(decoded_rule_score(*db.state, q, r));
          EXPECT_NEAR(r.score, written.back(), 1e-5 * std::fabs(written.back())) << r.id;
        }
        for (std::size_t r = 1; r < written.size(); ++r) {
          EXPECT_GE(written[r - 1], written[r] - 2e-5 * std::fabs(written[r]));
        }
        if (metric == DistanceMetric::kL2) {
          std::vector<double> all;
          for (const std::uint32_t slot : db.state->id_pool.active_slots()) {
            std::vector<double> v;
            dequantize_slots(*db.state, std::span(&slot, 1), v);
            all.push_back(filter::score_vectors_with_metric(metric, q, v));
          }
          std::partial_sort(all.begin(), all.begin() + 10, all.end(), std::greater<>());
          for (std::size_t r = 0; r < 10; ++r) EXPECT_NEAR(written[r], all[r], 1e-5 * std::fabs(all[r]));
        }
        // One result pools ten codes, cheaply decoded: the written rule itself.
        const auto one = exhaustive_search_simd(*db.state, q, 1, nullptr, std::nullopt).value();
        EXPECT_EQ(one[0].score, decoded_rule_score(*db.state, q, one[0]));
      }
      // Overwrite records with other vectors, delete others and compact:
      // every slot's norm must be that of its current code.
      std::vector<BatchWriteItem> upserts;
      for (int i = 0; i < 300; ++i) {
        std::vector<float> v(64);
        for (std::size_t j = 0; j < 64; ++j) v[j] = static_cast<float>(db.query(i + 7)[j]) * 2.0f;
        upserts.push_back({numbered("r", static_cast<std::size_t>(i * 3)), v, {}, std::nullopt});
      }
      ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(upserts), WriteMode::kUpsert).ok());
      std::vector<std::string> gone;
      for (int i = 1; i < 1500; i += 3) gone.push_back(numbered("r", static_cast<std::size_t>(i)));
      ASSERT_TRUE(delete_batch(*db.state, gone).ok());
      ASSERT_TRUE(flush_wal_to_segment(*db.state).ok());
    }
  }
}

TEST(ExhaustiveSearch, TwoStageScanFollowsWritesAndCompaction) {
  // The blocked copy (and for L2 the reconstruction norms) must follow
  // overwrites and renumbering, or the first pass would prune with stale bounds.
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    SCOPED_TRACE(static_cast<int>(metric));
    SearchDb db(options(64, metric, RerankPrecision::kDisabled, false), 6'000, 8);
    db.add(1, 9);
    // Inner product prefers the longer copy of the query; L2 the query itself.
    const float scale = metric == DistanceMetric::kIp ? 3.0f : 1.0f;
    std::vector<BatchWriteItem> upserts;
    for (int i = 0; i < 200; ++i) {
      std::vector<float> v(64);
      for (std::size_t j = 0; j < 64; ++j) v[j] = static_cast<float>(db.query(i)[j]) * scale;
      upserts.push_back({numbered("r", static_cast<std::size_t>(i * 7)), v, {}, std::nullopt});
    }
    ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(upserts), WriteMode::kUpsert).ok());
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(db.state->blocked_codes.has_value());
      ASSERT_EQ(db.state->reconstruction_norms.has_value(), metric == DistanceMetric::kL2);
      for (unsigned i = 0; i < 10; i += 2) {  // even: r<7i> survives the deletions
        const std::vector<double> q = db.query(i);
        const auto fast = exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt).value();
        std::optional<BlockedCodes> none;
        db.state->blocked_codes.swap(none);
        const auto plain = exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt).value();
        db.state->blocked_codes.swap(none);
        expect_same_results(fast, plain);
        EXPECT_EQ(fast[0].id, numbered("r", i * 7));
      }
      // Deleting and flushing compacts the files: slots are renumbered.
      std::vector<std::string> gone;
      for (int i = 1; i < 3000; i += 2) gone.push_back(numbered("r", static_cast<std::size_t>(i)));
      ASSERT_TRUE(delete_batch(*db.state, gone).ok());
      ASSERT_TRUE(flush_wal_to_segment(*db.state).ok());
    }
  }
}

}  // namespace
}  // namespace velq::testing
