// The two-stage scan returns the plain scan's pool to the bit (array order
// included), and the pool's stand-in push is the push of any score below
// every pooled score.
#include "search/code_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <vector>

#include "quantizer/test_support.h"

namespace velq::engine {
namespace {

// Slots as the engine lays them out: packed indices, sign bytes, gamma, norm, flag.
struct Slots {
  std::size_t stride = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<std::vector<float>> vectors;
};

enum class Data { kRandom, kClustered, kDuplicates };

Slots make_slots(const ProdQuantizer& q, std::size_t count, Data data, unsigned seed) {
  Slots s;
  const std::size_t m = q.packed_mse_len();
  const std::size_t qlen = q.fast_mode() ? 0 : q.qjl_len();
  s.stride = m + qlen + 9;
  s.bytes.assign(count * s.stride, 0);
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> centres;
  for (int c = 0; c < 8; ++c) centres.push_back(testing::random_vector(q.d(), seed + 100 + c));
  std::vector<float> rows;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> x(q.d());
    if (data == Data::kDuplicates && i % 10 != 0 && i >= 3) {
      x = s.vectors[gen() % 3];  // nine in ten repeat one of the first three
    } else {
      const auto& centre = centres[gen() % centres.size()];
      for (std::size_t j = 0; j < q.d(); ++j) {
        x[j] = data == Data::kClustered ? centre[j] + 0.05f * normal(gen) : normal(gen);
      }
    }
    s.vectors.push_back(x);
    rows.insert(rows.end(), x.begin(), x.end());
  }
  const std::vector<EncodedVector> codes = q.quantize_batch(rows);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* slot = s.bytes.data() + i * s.stride;
    const auto packed = q.pack_mse_indices(codes[i].mse_indices);
    std::memcpy(slot, packed.data(), m);
    std::memcpy(slot + m, codes[i].qjl_bits.data(), qlen);
    const float gamma = static_cast<float>(codes[i].gamma);
    // Duplicates share their norm too, so their scores tie exactly.
    const float norm = data == Data::kDuplicates ? 1.0f + static_cast<float>(i % 10 == 0) : 0.5f + static_cast<float>(gen() % 100) / 50.0f;
    std::memcpy(slot + m + qlen, &gamma, 4);
    std::memcpy(slot + m + qlen + 4, &norm, 4);
  }
  return s;
}

void expect_same_pool(const SearchPool& a, const SearchPool& b) {
  const auto x = a.entries();
  const auto y = b.entries();
  ASSERT_EQ(x.size(), y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(x[i].slot, y[i].slot) << "position " << i;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(x[i].score), std::bit_cast<std::uint64_t>(y[i].score));
  }
}

std::vector<std::uint32_t> all_slots(std::size_t count, std::size_t step = 1) {
  std::vector<std::uint32_t> c;
  for (std::size_t s = 0; s < count; s += step) c.push_back(static_cast<std::uint32_t>(s));
  return c;
}

// The pool's rules run literally, every push moving entries: the reference
// for the shortcuts SearchPool takes with low scores and stand-ins.
class PlainHeap {
 public:
  explicit PlainHeap(std::size_t capacity) : capacity_(capacity) {}
  void push(std::uint32_t slot, double score) {
    h_.push_back({slot, score});
    rise(h_.size() - 1);
    if (h_.size() <= capacity_) return;
    const ScoredSlot last = h_.back();
    h_.pop_back();
    if (h_.empty()) return;
    std::size_t hole = 0;
    std::size_t child = 1;
    for (; child + 1 < h_.size(); child = 2 * hole + 1) {
      if (h_[child + 1].score <= h_[child].score) ++child;
      h_[hole] = h_[child];
      hole = child;
    }
    if (child == h_.size() - 1) {
      h_[hole] = h_[child];
      hole = child;
    }
    h_[hole] = last;
    rise(hole);
  }
  const std::vector<ScoredSlot>& entries() const { return h_; }

 private:
  void rise(std::size_t i) {
    const ScoredSlot e = h_[i];
    for (; i > 0 && h_[(i - 1) / 2].score > e.score; i = (i - 1) / 2) h_[i] = h_[(i - 1) / 2];
    h_[i] = e;
  }
  std::vector<ScoredSlot> h_;
  std::size_t capacity_;
};

// Sorted slots with runs, gaps of up to a few blocks and repeated slots: the
// first pass skips blocks by the slots' values, not their positions.
std::vector<std::uint32_t> irregular_slots(std::size_t count) {
  std::vector<std::uint32_t> c;
  for (std::size_t s = 0; s < count; ++s) {
    const std::size_t h = s * 2654435761u % 1000;
    if (h < 600 || (s / 64) % 5 == 0) continue;
    c.push_back(static_cast<std::uint32_t>(s));
    if (h % 7 == 0) c.push_back(static_cast<std::uint32_t>(s));
  }
  return c;
}

// Random pushes over few distinct scores (many ties): pushing any score below
// the minimum of the full pool and pushing the stand-in leave the arrays the
// plain rules leave.
TEST(SearchPool, StandInPushEqualsAnyLowerScore) {
  std::mt19937 gen(5);
  for (const std::size_t capacity : {1u, 2u, 3u, 7u, 10u, 100u}) {
    for (const std::uint32_t levels : {2u, 6u, 1000u}) {
      SearchPool real(capacity), stand_in(capacity);
      PlainHeap plain(capacity);
      for (std::uint32_t i = 0; i < 3000; ++i) {
        const double score = static_cast<double>(gen() % levels);
        const double low = -1.0 - static_cast<double>(gen() % 4);
        if (real.excludes(low) && gen() % 2 == 0) {
          real.push(i, low);
          stand_in.push_below_all();
          plain.push(i, low);
        } else {
          real.push(i, score);
          stand_in.push(i, score);
          plain.push(i, score);
        }
        ASSERT_NO_FATAL_FAILURE(expect_same_pool(real, stand_in));
        // A low entry rises to the root and leaves at once, so the plain
        // heap holds the same slots where the pool holds them.
        const auto x = real.entries();
        ASSERT_EQ(x.size(), plain.entries().size());
        for (std::size_t k = 0; k < x.size(); ++k) {
          ASSERT_EQ(x[k].slot, plain.entries()[k].slot) << "capacity " << capacity << " push " << i;
          ASSERT_EQ(x[k].score, plain.entries()[k].score);
        }
      }
    }
  }
}

TEST(SearchPool, HeapRulesAndNaN) {
  SearchPool pool(3);
  for (const double s : {5.0, 3.0, 4.0, 1.0, 4.0}) pool.push(0, s);
  std::vector<double> kept;
  for (const auto& e : pool.entries()) kept.push_back(e.score);
  // 1 entered and left at once; removing 3 moved the right 4 up (ties go right).
  EXPECT_EQ(kept, (std::vector<double>{4.0, 4.0, 5.0}));
  EXPECT_TRUE(pool.excludes(3.9));
  EXPECT_FALSE(pool.excludes(4.0));
  pool.push(1, std::nan(""));
  EXPECT_FALSE(pool.excludes(-1e300));  // a NaN makes the root no longer the minimum
  EXPECT_FALSE(SearchPool(0).excludes(-1.0));
}

struct ScanCase {
  const char* name;
  ProdQuantizer q;
};

std::vector<ScanCase> scan_cases(std::size_t d) {
  return {{"dense", ProdQuantizer::new_dense(d, 4, 7)},
          {"dense_fast", ProdQuantizer::new_dense_fast(d, 4, 7)},
          {"srht", ProdQuantizer::new_srht(d, 4, 7)},
          {"srht_fast", ProdQuantizer::new_srht_fast(d, 4, 7)},
          {"dense_b3", ProdQuantizer::new_dense(d, 3, 7)}};
}

void expect_two_stage_identical(std::size_t d, std::size_t count) {
  for (const ScanCase& sc : scan_cases(d)) {
    for (const Data data : {Data::kRandom, Data::kClustered, Data::kDuplicates}) {
      const Slots slots = make_slots(sc.q, count, data, 3);
      const BlockedCodes blocked = BlockedCodes::build(sc.q, slots.bytes, slots.stride, count);
      const ReconstructionNorms norms =
          ReconstructionNorms::build(sc.q, slots.bytes, slots.stride, count);
      for (unsigned t = 0; t < 2; ++t) {
        std::vector<float> query = slots.vectors[t * 17];
        if (t == 1) query = testing::random_vector(d, 99);
        const std::vector<double> wide(query.begin(), query.end());
        const PreparedIpQuery pq = sc.q.prepare_ip_query(query);
        double qn = 0.0;
        for (float v : query) qn += static_cast<double>(v) * v;
        qn = std::sqrt(qn);
        for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
          const CodeScan scan(sc.q, pq, metric, qn, {slots.bytes, slots.stride}, &blocked,
                              {wide, &norms});
          // L2's exact scores reconstruct every code: two lists suffice.
          std::vector<std::vector<std::uint32_t>> lists = {all_slots(count), irregular_slots(count)};
          if (metric != DistanceMetric::kL2) lists.push_back(all_slots(count, 2));
          for (const auto& candidates : lists) {
            ASSERT_TRUE(scan.uses_first_pass(candidates));
            for (const std::size_t pool_size : {10u, 100u}) {
              SCOPED_TRACE(::testing::Message() << sc.name << " data " << static_cast<int>(data)
                                                << " metric " << static_cast<int>(metric)
                                                << " candidates " << candidates.size()
                                                << " pool " << pool_size);
              const ScanResult fast = scan.run(candidates, pool_size);
              const ScanResult plain = scan.run_exact(candidates, pool_size);
              ASSERT_NO_FATAL_FAILURE(expect_same_pool(fast.pool, plain.pool));
              EXPECT_EQ(plain.scored_exactly, candidates.size());
              if (data == Data::kRandom) {
                EXPECT_LT(fast.scored_exactly, candidates.size() / 2);
              }
            }
          }
        }
      }
    }
  }
}

TEST(CodeScan, TwoStagePoolEqualsPlainPool) { expect_two_stage_identical(48, 6000); }

// Above 20,000 candidates the chunks run on the worker pool.
TEST(CodeScan, ParallelTwoStagePoolEqualsPlainPool) { expect_two_stage_identical(24, 26000); }

// A chunk pruning against its own pool ends with the pool it would have had
// scoring every candidate, and marks as pruned only candidates that pool evicts at once.
TEST(CodeScan, ChunkPoolUnchangedByPruning) {
  const ProdQuantizer q = ProdQuantizer::new_dense(32, 4, 2);
  const Slots slots = make_slots(q, 9000, Data::kDuplicates, 8);
  const BlockedCodes blocked = BlockedCodes::build(q, slots.bytes, slots.stride, 9000);
  const PreparedIpQuery pq = q.prepare_ip_query(slots.vectors[1]);
  const CodeScan scan(q, pq, DistanceMetric::kIp, 1.0, {slots.bytes, slots.stride}, &blocked);
  const auto candidates = all_slots(9000);
  std::vector<double> scores(9000);
  std::vector<std::uint8_t> pruned(9000);
  SearchPool pruning(10), plain(10);
  scan.score_chunk(candidates, true, scores.data(), pruned.data(), pruning);
  for (std::uint32_t s : candidates) plain.push(s, scan.exact_score(s));
  expect_same_pool(pruning, plain);
  EXPECT_GT(std::count(pruned.begin(), pruned.end(), 1), 4000);
}

// The scores a graph walk orders by, in the order asked: each slot's exact
// score for Ip, Cosine and L2 without norms; for L2 with norms the same
// distance from the f32 estimate, within its rounding.
TEST(CodeScan, WalkScoresFollowExactScores) {
  for (const ScanCase& sc : scan_cases(40)) {
    const Slots slots = make_slots(sc.q, 300, Data::kClustered, 4);
    const ReconstructionNorms norms = ReconstructionNorms::build(sc.q, slots.bytes, slots.stride, 300);
    const std::vector<float>& query = slots.vectors[5];
    const std::vector<double> wide(query.begin(), query.end());
    const PreparedIpQuery pq = sc.q.prepare_ip_query(query);
    double query_sq = 0.0;
    for (const double v : wide) query_sq += v * v;
    const std::vector<std::uint32_t> picked = {299, 0, 17, 17, 150, 5, 3};
    for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
      for (const ReconstructionNorms* kept : {&norms, static_cast<const ReconstructionNorms*>(nullptr)}) {
        const CodeScan scan(sc.q, pq, metric, 1.5, {slots.bytes, slots.stride}, nullptr, {wide, kept});
        std::vector<double> walk(picked.size(), -7.0);
        scan.walk_scores(picked, walk);
        for (std::size_t i = 0; i < picked.size(); ++i) {
          const double exact = scan.exact_score(picked[i]);
          SCOPED_TRACE(::testing::Message() << sc.name << " metric " << static_cast<int>(metric)
                                            << " slot " << picked[i] << " norms " << (kept != nullptr));
          if (metric != DistanceMetric::kL2 || kept == nullptr) {
            EXPECT_EQ(walk[i], exact);
          } else {
            // Squared distances agree to f32 rounding of terms as large as ‖q‖².
            EXPECT_NEAR(walk[i] * walk[i], exact * exact, 1e-5 * query_sq);
          }
        }
      }
    }
    const CodeScan scan(sc.q, pq, DistanceMetric::kL2, 1.0, {slots.bytes, slots.stride}, nullptr,
                        {wide, &norms});
    std::vector<double> one(1);
    EXPECT_THROW(scan.walk_scores(std::vector<std::uint32_t>{300}, one), Panic);
  }
}

// Damaged scales never prune wrongly: a NaN gamma or negative norm is scored.
TEST(CodeScan, DamagedScalesAreScoredExactly) {
  const ProdQuantizer q = ProdQuantizer::new_srht(40, 4, 2);
  Slots slots = make_slots(q, 4096, Data::kRandom, 4);
  const std::size_t scales = q.packed_mse_len() + q.qjl_len();
  const float nan = std::nanf(""), negative = -3.0f;
  std::memcpy(slots.bytes.data() + 4000 * slots.stride + scales, &nan, 4);
  std::memcpy(slots.bytes.data() + 3000 * slots.stride + scales + 4, &negative, 4);
  const BlockedCodes blocked = BlockedCodes::build(q, slots.bytes, slots.stride, 4096);
  const PreparedIpQuery pq = q.prepare_ip_query(slots.vectors[0]);
  const CodeScan scan(q, pq, DistanceMetric::kIp, 1.0, {slots.bytes, slots.stride}, &blocked);
  const auto candidates = all_slots(4096);
  expect_same_pool(scan.run(candidates, 10).pool, scan.run_exact(candidates, 10).pool);
  EXPECT_THROW(scan.exact_score(4096), Panic);
  // L2 with the query equal to the damaged codes' vectors, so their exact
  // scores would win; and with reconstruction norms covering fewer slots
  // than the candidates, which then are all scored exactly.
  const ReconstructionNorms norms = ReconstructionNorms::build(q, slots.bytes, slots.stride, 4096);
  const ReconstructionNorms short_norms = ReconstructionNorms::build(q, slots.bytes, slots.stride, 4000);
  for (const std::size_t target : {3000u, 4000u}) {
    const std::vector<double> wide(slots.vectors[target].begin(), slots.vectors[target].end());
    const PreparedIpQuery l2_pq = q.prepare_ip_query(slots.vectors[target]);
    const CodeScan l2(q, l2_pq, DistanceMetric::kL2, 1.0, {slots.bytes, slots.stride}, &blocked,
                      {wide, &norms});
    ASSERT_TRUE(l2.uses_first_pass(candidates));
    expect_same_pool(l2.run(candidates, 10).pool, l2.run_exact(candidates, 10).pool);
    const CodeScan uncovered(q, l2_pq, DistanceMetric::kL2, 1.0, {slots.bytes, slots.stride}, &blocked,
                             {wide, &short_norms});
    EXPECT_FALSE(uncovered.uses_first_pass(candidates));
  }

  // In the parallel scan a NaN score, from the candidates scored before the
  // chunks or from one chunk, reaches the shared pool, which then can
  // exclude nothing that later chunks pruned.
  const auto all = all_slots(30000);
  for (const std::size_t damaged : {std::size_t{100}, CodeScan::kWarmUp + 9000}) {
    Slots many = make_slots(q, 30000, Data::kRandom, 5);
    std::memcpy(many.bytes.data() + damaged * many.stride + scales, &nan, 4);
    const BlockedCodes many_blocked = BlockedCodes::build(q, many.bytes, many.stride, 30000);
    const CodeScan wide(q, pq, DistanceMetric::kIp, 1.0, {many.bytes, many.stride}, &many_blocked);
    expect_same_pool(wide.run(all, 10).pool, wide.run_exact(all, 10).pool);
  }
  // Unsorted or sparse candidates take the exact kernel alone.
  std::vector<std::uint32_t> reversed(candidates.rbegin(), candidates.rend());
  EXPECT_FALSE(scan.uses_first_pass(reversed));
  EXPECT_FALSE(scan.uses_first_pass(all_slots(4096, 5)));
}

// Norms kept up slot by slot, out of order and with gaps grown over, equal
// the norms built at once; each is the decoded vector's squared norm.
TEST(CodeScan, ReconstructionNormsFollowSlotWrites) {
  for (const ScanCase& sc : scan_cases(40)) {
    const std::size_t count = 300;
    const Slots slots = make_slots(sc.q, count, Data::kRandom, 21);
    const ReconstructionNorms built = ReconstructionNorms::build(sc.q, slots.bytes, slots.stride, count);
    ReconstructionNorms kept = ReconstructionNorms::build(sc.q, slots.bytes, slots.stride, 0);
    kept.grow_to(50);
    for (std::size_t s = count; s-- > 0;) {
      kept.update(sc.q, s, std::span(slots.bytes).subspan(s * slots.stride, slots.stride));
    }
    ASSERT_EQ(kept.size(), count);
    for (std::size_t s = 0; s < count; ++s) {
      ASSERT_EQ(kept.squared(s), built.squared(s)) << sc.name << " slot " << s;
      const std::uint8_t* p = slots.bytes.data() + s * slots.stride;
      const std::size_t signs = sc.q.fast_mode() ? 0 : sc.q.qjl_len();
      std::vector<std::uint16_t> indices(sc.q.n());
      sc.q.unpack_mse_indices({p, sc.q.packed_mse_len()}, indices);
      float gamma;
      std::memcpy(&gamma, p + sc.q.packed_mse_len() + signs, 4);
      double sq = 0.0;
      for (const double v : sc.q.dequantize(indices, {p + sc.q.packed_mse_len(), signs}, gamma)) sq += v * v;
      EXPECT_EQ(built.squared(s), sq);
    }
    kept.grow_to(10);  // never shrinks
    EXPECT_EQ(kept.size(), count);
  }
}

// The L2 bound holds for every code against queries near and far, of every
// scale, including queries equal to a decoded code (distance near 0, where
// the f64 rounding of the exact score matters most), and adds nothing to the
// first pass's own slack beyond f64 rounding: the squared distance it gives
// is the one of the estimate's bound U and the code's exact ‖x̂‖² to within
// 2^-28 of the terms' magnitude. Prints the smallest margin seen among the
// bounds that could rule a code out, relative to the distance.
TEST(CodeScan, L2BoundHoldsForManyPairs) {
  double smallest = std::numeric_limits<double>::infinity();
  std::size_t pairs = 0;
  for (const ScanCase& sc : scan_cases(56)) {
    for (const Data data : {Data::kRandom, Data::kClustered, Data::kDuplicates}) {
      const std::size_t count = 640;
      const Slots slots = make_slots(sc.q, count, data, 11);
      const BlockedCodes blocked = BlockedCodes::build(sc.q, slots.bytes, slots.stride, count);
      const ReconstructionNorms norms =
          ReconstructionNorms::build(sc.q, slots.bytes, slots.stride, count);
      std::vector<std::vector<double>> queries;
      for (const std::size_t s : {0u, 5u}) {
        queries.emplace_back(slots.vectors[s].begin(), slots.vectors[s].end());
      }
      // A decoded code times its stored norm, the exact score's own vector.
      const std::uint8_t* first = slots.bytes.data() + 7 * slots.stride;
      std::vector<std::uint16_t> indices(sc.q.n());
      sc.q.unpack_mse_indices({first, sc.q.packed_mse_len()}, indices);
      float gamma, norm;
      const std::size_t signs = sc.q.fast_mode() ? 0 : sc.q.qjl_len();
      std::memcpy(&gamma, first + sc.q.packed_mse_len() + signs, 4);
      std::memcpy(&norm, first + sc.q.packed_mse_len() + signs + 4, 4);
      std::vector<double> decoded = sc.q.dequantize(
          indices, {first + sc.q.packed_mse_len(), signs}, gamma);
      for (double& v : decoded) v *= norm;
      queries.push_back(decoded);
      for (const double scale : {1e-3, 1e3}) {
        std::vector<double> scaled = queries[1];
        for (double& v : scaled) v *= scale;
        queries.push_back(scaled);
      }
      for (const auto& query : queries) {
        double query_sq = 0.0;
        for (const double v : query) query_sq += v * v;
        const std::vector<float> narrow(query.begin(), query.end());
        const PreparedIpQuery pq = sc.q.prepare_ip_query(narrow);
        const CodeScan scan(sc.q, pq, DistanceMetric::kL2, 0.0, {slots.bytes, slots.stride},
                            &blocked, {query, &norms});
        const FirstPassQuery fq = prepare_first_pass(sc.q, pq);
        const L2ScoreBound bound(sc.q, query, pq);
        const PreparedIpQuery no_tables = [&] {
          PreparedIpQuery copy = pq;
          copy.pair_tables = {};
          return copy;
        }();
        double u[BlockedShape::kCodes];
        for (std::size_t b = 0; b < blocked.blocks(); ++b) {
          block_bounds(fq, blocked, b, BoundScale{}, u);
          const std::uint8_t* block = blocked.block(b);
          for (std::size_t c = 0; c < BlockedShape::kCodes; ++c) {
            const std::size_t slot = b * BlockedShape::kCodes + c;
            float g, nu;
            std::memcpy(&g, block + blocked.shape().gamma_offset() + 4 * c, 4);
            std::memcpy(&nu, block + blocked.shape().norm_offset() + 4 * c, 4);
            const double exact = scan.exact_score(static_cast<std::uint32_t>(slot));
            const double upper = bound.score_bound(u[c], g, nu, norms.squared(slot));
            ASSERT_GE(upper, exact) << sc.name << " slot " << slot;
            // The bound from the f32 estimate of every kernel form, the
            // pair tables' included.
            const std::uint8_t* p = slots.bytes.data() + slot * slots.stride;
            for (const auto& [prepared, kernels] :
                 {std::pair{&pq, &scoring::active_score_kernels()},
                  std::pair{&no_tables, &scoring::portable_score_kernels()},
                  std::pair{&no_tables, &scoring::active_score_kernels()}}) {
              const double estimate = sc.q.score_ip_packed(
                  *prepared, {p, sc.q.packed_mse_len()}, {p + sc.q.packed_mse_len(), signs}, g,
                  *kernels);
              ASSERT_GE(bound.estimate_score_bound(estimate, g, nu, norms.squared(slot)), exact)
                  << sc.name << " slot " << slot << " " << kernels->name;
            }
            // Only a bound below 0 can ever rule a code out.
            if (upper < 0.0) {
              const double nu_sq = static_cast<double>(nu) * nu * norms.squared(slot);
              const double from_u = query_sq - 2.0 * nu * u[c] + nu_sq;
              const double magnitude = query_sq + 2.0 * nu * std::fabs(u[c]) + nu_sq;
              ASSERT_LE(from_u - upper * upper, 0x1p-28 * magnitude) << sc.name << " slot " << slot;
              smallest = std::min(smallest, (upper - exact) / -exact);
              ++pairs;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(pairs, 40000u);
  std::cout << "smallest L2 bound margin over " << pairs << " pairs: " << smallest
            << " of the distance\n";
  EXPECT_GE(smallest, 0.0);
}

}  // namespace
}  // namespace velq::engine
