// Index builds: node order and bookkeeping after full and incremental
// builds, the no-op cases, a usable graph from every score closure (each
// metric, with and without raw vectors, with and without sign bits), and
// L2 pair scores from codes building the graph of the decoded vectors.
#include "engine/index_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/node_codes.h"
#include "engine/searcher.h"
#include "engine/search_scan.h"
#include "engine/slot_scorer.h"
#include "search/vector_scoring.h"
#include "index/graph_build.h"
#include "search_test_util.h"

namespace velq::testing {
namespace {

constexpr IndexParams kParams = kSmallIndex;

TEST(IndexBuild, EmptyDatabaseChangesNothing) {
  SearchDb db(small_options(), 0);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  ASSERT_TRUE(create_index_incremental(*db.state, kParams).ok());
  EXPECT_FALSE(db.state->index.usable());
  EXPECT_FALSE(db.state->index.params().has_value());
  EXPECT_FALSE(db.state->index.graph().is_loaded());
}

TEST(IndexBuild, FullBuildRecordsNodesInSlotOrder) {
  SearchDb db(small_options(), 0);
  std::vector<BatchWriteItem> items;
  for (const std::string_view id : {"b", "a", "c"}) {
    items.emplace_back().id = id;
    items.back().vector.assign(32, 1.0f);
  }
  ASSERT_TRUE(insert_many_with_mode(*db.state, std::move(items), WriteMode::kInsert).ok());
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  const std::span<const std::uint32_t> nodes = db.state->index.node_slots();
  EXPECT_EQ(std::vector<std::uint32_t>(nodes.begin(), nodes.end()), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_TRUE(db.state->index.delta().empty());
  const IndexState want{16, 100, 64, 1.2, 3};
  EXPECT_EQ(db.state->index.params(), want);
  EXPECT_TRUE(db.state->index.usable());
  // Nothing to add: the incremental build does nothing (no flush either).
  ASSERT_TRUE(create_index_incremental(*db.state, {8, 10, 99, 1, 1.0}).ok());
  EXPECT_EQ(db.state->index.params(), want);
}

TEST(IndexBuild, NonFiniteAlphaIsRefusedBeforeAnythingChanges) {
  // Stored in manifest.json, which holds finite numbers only: refused as an
  // argument, not a broken invariant (that would poison the database).
  SearchDb db(small_options(), 40, 2);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  const IndexState built = *db.state->index.params();
  db.add(5, 7);
  for (const double alpha : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    IndexParams params = kParams;
    params.alpha = alpha;
    for (auto build : {create_index_with_params, create_index_incremental}) {
      const Status s = build(*db.state, params);
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidArgument);
      EXPECT_EQ(db.state->index.delta().size(), 5u);
      EXPECT_EQ(db.state->index.graph().n_nodes(), 40u);
      EXPECT_EQ(db.state->index.params(), built);
    }
  }
}

TEST(IndexBuild, IncrementalWithoutGraphIsAFullBuild) {
  SearchDb db(small_options(), 50, 3);
  ASSERT_TRUE(create_index_incremental(*db.state, kParams).ok());
  EXPECT_EQ(db.state->index.params(), (IndexState{16, 100, 64, 1.2, 50}));
  EXPECT_EQ(db.state->index.graph().n_nodes(), 50u);
}

TEST(IndexBuild, IncrementalAfterWritesGrowsTheGraph) {
  SearchDb db(small_options(), 200, 4, 5);
  ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
  db.add(30, 9, 5);
  ASSERT_EQ(db.state->index.delta().size(), 30u);
  ASSERT_TRUE(create_index_incremental(*db.state, kParams).ok());
  EXPECT_EQ(db.state->index.graph().n_nodes(), 230u);
  EXPECT_EQ(db.state->index.node_slots().size(), 230u);
  EXPECT_TRUE(db.state->index.delta().empty());
  // The flush dropped the index, so the parameters stay absent and
  // searches are exhaustive.
  EXPECT_FALSE(db.state->index.params().has_value());
  EXPECT_FALSE(db.state->index.usable());
}

TEST(IndexBuild, EveryScoreClosureGivesAUsableGraph) {
  struct Case {
    DistanceMetric metric;
    RerankPrecision precision;
    bool fast;
  };
  for (const Case c : {Case{DistanceMetric::kIp, RerankPrecision::kDisabled, false},
                       Case{DistanceMetric::kIp, RerankPrecision::kDisabled, true},
                       Case{DistanceMetric::kCosine, RerankPrecision::kDisabled, false},
                       Case{DistanceMetric::kL2, RerankPrecision::kDisabled, false},
                       Case{DistanceMetric::kIp, RerankPrecision::kF32, false},
                       Case{DistanceMetric::kCosine, RerankPrecision::kF16, false},
                       Case{DistanceMetric::kL2, RerankPrecision::kF32, false}}) {
    // 200 clusters of about ten: near-duplicate clusters of a hundred leave
    // the builder too few ways between them for any scorer to be judged.
    SearchDb db(small_options(c.metric, c.precision, c.fast), 2'000, 5, 200);
    ASSERT_TRUE(create_index_with_params(*db.state, kParams).ok());
    // Measured on the code scores both roads rank by: with reranking the
    // graph road reranks only its first top_k hits.
    db.state->manifest.rerank_enabled = false;
    double sum = 0;
    for (unsigned i = 0; i < 10; ++i) {
      const std::vector<double> q = db.query(i);
      const auto got = search_with_filter_and_ann(*db.state, q, 10, nullptr, 128, true).value();
      const auto want = exhaustive_search_simd(*db.state, q, 10, nullptr, std::nullopt).value();
      sum += recall(ids_of(got), ids_of(want));
    }
    std::printf("graph recall@10 vs exhaustive, %s %s%s: %.2f\n", std::string(metric_name(c.metric)).c_str(),
                std::string(rerank_precision_name(c.precision)).c_str(), c.fast ? " fast" : "", sum / 10);
    EXPECT_GE(sum / 10, 0.7) << metric_name(c.metric) << " precision "
                             << rerank_precision_name(c.precision) << (c.fast ? " fast" : "");
  }
}

// What an Ip or Cosine build keeps per node is the levels' rotation alone:
// the projection it never reads holds no storage.
TEST(IndexBuild, CodeToCodePreparationKeepsNoProjection) {
  SearchDb db(small_options(DistanceMetric::kIp), 20, 3);
  const std::vector<std::uint32_t> slots = db.state->id_pool.active_slots();
  const NodeCodes codes(*db.state, slots);
  const PreparedIpQueryLite levels = codes.levels_query(codes.at(0));
  EXPECT_EQ(levels.q_rot.size(), db.state->quantizer->n());
  EXPECT_EQ(levels.q_proj.capacity(), 0u);
}

// The L2 build prepares its nodes in blocks before building; every score is
// the one of preparing its node alone, bit for bit, in every block.
TEST(IndexBuild, L2NodesPreparedInBlocksScoreAsPreparedAlone) {
  for (const bool fast : {false, true}) {
    SearchDb db(small_options(DistanceMetric::kL2, RerankPrecision::kDisabled, fast), 100, 8, 10);
    const EngineState& state = *db.state;
    const ProdQuantizer& q = *state.quantizer;
    const std::vector<std::uint32_t> slots = state.id_pool.active_slots();
    const NodeCodes codes(state, slots);
    const BuildScorer scorer = l2_code_scorer(state, codes, *state.reconstruction_norms, slots);
    std::vector<std::uint32_t> all(slots.size());
    for (std::uint32_t i = 0; i < all.size(); ++i) all[i] = i;
    for (const std::uint32_t a : {0u, 31u, 32u, 63u, 99u}) {
      const CodeSlotView code = codes.at(a);
      std::vector<double> decoded(q.d());
      const StoredCode stored{code.packed_mse, code.qjl_bits, code.gamma};
      decode_codes(q, std::span(&stored, 1), decoded);
      const std::vector<float> narrow(decoded.begin(), decoded.end());
      PreparedIpQueryLite alone = q.prepare_ip_query_lite(narrow);
      alone.qjl_scale = q.qjl_reconstruction_scale();
      const double a_sq = double{code.norm} * code.norm * state.reconstruction_norms->squared(slots[a]);
      const std::vector<ScoredNode> got = scorer(a, all);
      for (const std::uint32_t c : all) {
        const CodeSlotView other = codes.at(c);
        const double ip = q.score_ip_packed_lite(alone, other.packed_mse, other.qjl_bits, other.gamma);
        const double c_sq =
            double{other.norm} * other.norm * state.reconstruction_norms->squared(slots[c]);
        const double want = -std::sqrt(std::max(a_sq + c_sq - 2.0 * code.norm * other.norm * ip, 0.0));
        ASSERT_EQ(got[c].score, want) << (fast ? "fast " : "") << a << " " << c;
      }
    }
  }
}

// The L2 build scores pairs from the codes (one side's decoded vector
// prepared against the other's code, plus the reconstruction norms) instead
// of from the decoded vectors. The scores agree up to rounding, so a seeded
// build links every node exactly as scoring the decoded vectors does, with
// and without sign bits.
TEST(IndexBuild, L2FromCodesBuildsTheGraphOfTheDecodedVectors) {
  for (const bool fast : {false, true}) {
    SearchDb db(small_options(DistanceMetric::kL2, RerankPrecision::kDisabled, fast), 1'500, 6, 150);
    const EngineState& state = *db.state;
    const std::vector<std::uint32_t> slots = state.id_pool.active_slots();
    const NodeCodes codes(state, slots);
    ASSERT_TRUE(state.reconstruction_norms.has_value());
    const BuildScorer from_codes = l2_code_scorer(state, codes, *state.reconstruction_norms, slots);

    std::vector<double> table;  // x̂ times the stored norm, node-major
    dequantize_slots(state, slots, table);
    const std::size_t d = state.d();
    const BuildScorer decoded = [&table, d](std::uint32_t a,
                                            std::span<const std::uint32_t> candidates) {
      const std::span<const double> all(table);
      std::vector<ScoredNode> out;
      for (const std::uint32_t c : candidates) {
        out.push_back({c, filter::score_vectors_with_metric(DistanceMetric::kL2, all.subspan(a * d, d),
                                                            all.subspan(c * d, d))});
      }
      return out;
    };
    BuildParams params{kParams.max_degree, kParams.ef_construction, kParams.n_refinements,
                       kParams.alpha};
    params.seed = 77;
    const GraphData want = build_graph(slots.size(), params, decoded);
    const GraphData got = build_graph(slots.size(), params, from_codes);
    ASSERT_EQ(got.levels, want.levels);
    ASSERT_EQ(got.entry_point, want.entry_point);
    std::size_t differing = 0;
    for (std::size_t level = 0; level < got.lists.size(); ++level) {
      for (std::size_t node = 0; node < got.size(); ++node) {
        differing += got.lists[level][node] != want.lists[level][node] ? 1 : 0;
      }
    }
    EXPECT_EQ(differing, 0u) << (fast ? "fast" : "with sign bits");
  }
}

}  // namespace
}  // namespace velq::testing
