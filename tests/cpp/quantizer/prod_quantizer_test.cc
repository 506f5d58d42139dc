#include "quantizer/prod_quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/cpu_features.h"
#include "common/panic.h"
#include "linalg/dense.h"
#include "linalg/hadamard.h"
#include "quantizer/nearest_level.h"
#include "quantizer/sign_bits.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

using testing::panic_message;

std::vector<float> random_unit_vector(std::size_t d, unsigned seed) {
  std::vector<float> v = testing::random_vector(d, seed);
  double norm = 0.0;
  for (float x : v) norm += static_cast<double>(x) * x;
  for (float& x : v) x = static_cast<float>(x / std::sqrt(norm));
  return v;
}

double dot(const std::vector<float>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

struct Mode {
  const char* name;
  std::function<ProdQuantizer(std::uint64_t, std::uint64_t, std::uint64_t)> make;
};

const Mode kModes[] = {
    {"srht", ProdQuantizer::new_srht},
    {"srht_fast", ProdQuantizer::new_srht_fast},
    {"dense", ProdQuantizer::new_dense},
    {"dense_fast", ProdQuantizer::new_dense_fast},
};

TEST(ProdQuantizer, ConstructionShapes) {
  const ProdQuantizer q = ProdQuantizer::new_srht(100, 4, 7);
  EXPECT_EQ(q.d(), 100u);
  EXPECT_EQ(q.b(), 4u);
  EXPECT_EQ(q.n(), 128u);
  EXPECT_EQ(q.mse_bits(), 3u);
  EXPECT_EQ(q.mse_quantizer().centroids.size(), 8u);
  EXPECT_EQ(q.qjl_quantizer().n, 128u);
  EXPECT_EQ(q.packed_mse_len(), 48u);
  EXPECT_EQ(q.qjl_len(), 16u);
  EXPECT_FALSE(q.fast_mode());

  const EncodedVector code = q.quantize(random_unit_vector(100, 1));
  EXPECT_EQ(code.mse_indices.size(), 128u);
  EXPECT_EQ(code.qjl_bits.size(), 16u);

  const ProdQuantizer fast = ProdQuantizer::new_srht_fast(100, 4, 7);
  EXPECT_EQ(fast.mse_bits(), 4u);
  EXPECT_TRUE(fast.fast_mode());
  const ProdQuantizer dense = ProdQuantizer::new_dense(10, 3, 7);
  EXPECT_EQ(dense.n(), 10u);
  EXPECT_TRUE(dense.mse_quantizer().is_dense());
  EXPECT_TRUE(dense.qjl_quantizer().is_dense());

  // Same arguments, same quantizer; the QJL stage is seeded apart from the MSE stage.
  EXPECT_EQ(ProdQuantizer::new_srht(100, 4, 7), q);
  EXPECT_NE(q.mse_quantizer().rotation_signs, q.qjl_quantizer().projection_signs);
}

TEST(ProdQuantizer, RefusesFewerThanTwoBits) {
  const std::string want = "ProdQuantizer requires at least b=2";
  EXPECT_EQ(panic_message([] { ProdQuantizer::new_srht(8, 1, 0); }), want);
  EXPECT_EQ(panic_message([] { ProdQuantizer::new_dense(8, 0, 0); }), want);
  EXPECT_EQ(panic_message([] { ProdQuantizer::new_dense_fast(8, 1, 0); }), want);
  // Fast SRHT has no such floor: one bit goes to the MSE stage.
  EXPECT_EQ(ProdQuantizer::new_srht_fast(8, 1, 0).mse_bits(), 1u);
}

TEST(ProdQuantizer, FastModeWritesNoSketchAndReadsNone) {
  for (const auto& q : {ProdQuantizer::new_srht_fast(100, 4, 3),
                        ProdQuantizer::new_dense_fast(20, 4, 3)}) {
    const EncodedVector code = q.quantize(random_unit_vector(q.d(), 9));
    EXPECT_EQ(code.qjl_bits, std::vector<std::uint8_t>(q.qjl_len(), 0));
    EXPECT_EQ(code.gamma, 0.0);
    const auto plain = q.mse_quantizer().dequantize(code.mse_indices);
    EXPECT_EQ(q.dequantize(code.mse_indices, {}, 0.0), plain);
    EXPECT_EQ(q.dequantize(code.mse_indices, std::vector<std::uint8_t>(3, 0xFF), 5.0), plain);
  }
}

TEST(ProdQuantizer, DequantizeChecksSignByteCount) {
  const ProdQuantizer q = ProdQuantizer::new_srht(100, 4, 3);
  const EncodedVector code = q.quantize(random_unit_vector(100, 2));
  std::vector<std::uint8_t> fewer(code.qjl_bits.begin(), code.qjl_bits.end() - 1);
  std::vector<std::uint8_t> more = code.qjl_bits;
  more.push_back(0);
  EXPECT_THROW(q.dequantize(code.mse_indices, fewer, code.gamma), Panic);
  EXPECT_THROW(q.dequantize(code.mse_indices, more, code.gamma), Panic);
  EXPECT_EQ(q.dequantize(code.mse_indices, code.qjl_bits, code.gamma).size(), 100u);
}

// The residual of the zero vector is -x_hat: gamma is x_hat's norm and the
// signs are those of the projected -x_hat.
TEST(ProdQuantizer, ZeroVector) {
  const ProdQuantizer q = ProdQuantizer::new_srht(48, 3, 11);
  const std::vector<float> zero(48, 0.0f);
  const EncodedVector code = q.quantize(zero);
  const auto approx = q.mse_quantizer().dequantize(code.mse_indices);
  double norm_sq = 0.0;
  std::vector<float> neg(48);
  for (std::size_t i = 0; i < 48; ++i) {
    norm_sq += approx[i] * approx[i];
    neg[i] = static_cast<float>(-approx[i]);
  }
  EXPECT_DOUBLE_EQ(code.gamma, std::sqrt(norm_sq));
  std::vector<float> projected(q.n());
  q.qjl_quantizer().apply_projection(neg, projected);
  for (std::size_t i = 0; i < q.n(); ++i) {
    EXPECT_EQ((code.qjl_bits[i / 8] >> (i % 8)) & 1, projected[i] >= 0.0f ? 1 : 0) << i;
  }
}

// Every scoring road (table or levels, unpacked or packed, portable or
// vector) estimates <q, dequantize(code)>, in every mode and at several widths.
TEST(ProdQuantizer, ScoresMatchDequantizedInnerProduct) {
  std::vector<const scoring::ScoreKernels*> kernels = {&scoring::portable_score_kernels()};
#if VELQ_X86
  if (has_avx2()) kernels.push_back(&scoring::avx2_score_kernels());
#endif
  for (const Mode& mode : kModes) {
    for (std::uint64_t b : {2u, 4u, 6u}) {
      for (std::uint64_t d : {3u, 100u, 384u}) {
        SCOPED_TRACE(::testing::Message() << mode.name << " b=" << b << " d=" << d);
        const ProdQuantizer q = mode.make(d, b, 42);
        for (std::uint32_t trial = 0; trial < 3; ++trial) {
          const auto x = random_unit_vector(d, 100 + trial);
          const auto query = random_unit_vector(d, 200 + trial);
          const EncodedVector code = q.quantize(x);
          const auto packed = q.pack_mse_indices(code.mse_indices);
          const double exact = dot(query, q.dequantize(code.mse_indices, code.qjl_bits, code.gamma));
          const PreparedIpQuery tables = q.prepare_ip_query(query);
          EXPECT_NEAR(q.score_ip_packed(tables, packed, code.qjl_bits, code.gamma), exact, 2e-5);
          PreparedIpQuery full = tables;
          full.pair_tables = {};  // the register kernels below
          const PreparedIpQueryLite lite = q.prepare_ip_query_lite(query);
          for (const auto* ks : kernels) {
            SCOPED_TRACE(ks->name);
            const auto& idx = code.mse_indices;
            const auto& sb = code.qjl_bits;
            EXPECT_NEAR(q.score_ip_encoded(full, idx, sb, code.gamma, *ks), exact, 2e-5);
            EXPECT_NEAR(q.score_ip_encoded_lite(lite, idx, sb, code.gamma, *ks), exact, 2e-5);
            EXPECT_NEAR(q.score_ip_packed(full, packed, sb, code.gamma, *ks), exact, 2e-5);
            EXPECT_NEAR(q.score_ip_packed_lite(lite, packed, sb, code.gamma, *ks), exact, 2e-5);
          }
        }
      }
    }
  }
}

// <q, dequantize(code)> from the prepared query equals the decoded vector's
// product with q up to the f32 rounding of the transforms, for both
// rotations, every stage width (1, 3 and 7 index bits; 8 in fast mode),
// dimensions off the kernels' steps, codes with and without a sketch; and
// the two kernel sets agree to f64 rounding.
TEST(ProdQuantizer, DecodedProductNeedsNoReconstruction) {
  double worst = 0.0;
  for (const Mode& mode : kModes) {
    for (std::uint64_t b : {2u, 4u, 8u}) {
      for (std::uint64_t d : {5u, 37u, 100u, 131u}) {
        SCOPED_TRACE(::testing::Message() << mode.name << " b=" << b << " d=" << d);
        const ProdQuantizer q = mode.make(d, b, 7);
        for (std::uint32_t trial = 0; trial < 40; ++trial) {
          // Vectors of any length: the stored codes are of unit vectors,
          // but nothing here depends on it.
          std::vector<float> x = testing::random_vector(d, 300 + trial);
          const std::vector<float> query = testing::random_vector(d, 400 + trial);
          if (trial % 4 == 3) x = query;  // the query's own code: the largest product
          const EncodedVector code = q.quantize(x);
          const auto packed = q.pack_mse_indices(code.mse_indices);
          const std::vector<double> decoded = q.dequantize(code.mse_indices, code.qjl_bits, code.gamma);
          const double plain = dot(query, decoded);
          double query_sq = 0.0, decoded_sq = 0.0;
          for (std::size_t j = 0; j < d; ++j) {
            query_sq += static_cast<double>(query[j]) * query[j];
            decoded_sq += decoded[j] * decoded[j];
          }
          const double scale = std::sqrt(query_sq) * (std::sqrt(decoded_sq) + code.gamma);
          const PreparedIpQuery pq = q.prepare_ip_query(query);
          const auto signs = q.fast_mode() ? std::span<const std::uint8_t>() : code.qjl_bits;
          const double portable =
              q.decoded_ip_packed(pq, packed, signs, code.gamma, scoring::portable_score_kernels());
          EXPECT_NEAR(portable, plain, 2e-6 * scale);
          worst = std::max(worst, std::fabs(portable - plain) / scale);
#if VELQ_X86
          if (has_avx2()) {
            EXPECT_NEAR(q.decoded_ip_packed(pq, packed, signs, code.gamma, scoring::avx2_score_kernels()),
                        portable, 1e-13 * scale);
          }
#endif
        }
      }
    }
  }
  std::printf("largest gap to the decoded product: %.3g of |q|(|x^|+gamma)\n", worst);
  // A code of a sketching quantizer must carry its sign bytes.
  const ProdQuantizer q = ProdQuantizer::new_dense(16, 4, 1);
  const EncodedVector code = q.quantize(testing::random_vector(16, 1));
  const PreparedIpQuery pq = q.prepare_ip_query(testing::random_vector(16, 2));
  EXPECT_THROW(q.decoded_ip_packed(pq, q.pack_mse_indices(code.mse_indices), {}, code.gamma), Panic);
}

TEST(ProdQuantizer, SignTermSkippedWithoutSketchOrGamma) {
  const ProdQuantizer q = ProdQuantizer::new_srht(64, 4, 5);
  const auto query = random_unit_vector(64, 1);
  const EncodedVector code = q.quantize(random_unit_vector(64, 2));
  const PreparedIpQuery full = q.prepare_ip_query(query);
  const PreparedIpQueryLite lite = q.prepare_ip_query_lite(query);
  const auto& ks = scoring::portable_score_kernels();
  const double mse_only = ks.level_dot(q.mse_quantizer().centroids, lite.q_rot, code.mse_indices, q.n());
  // Lite with gamma exactly 0 ignores sign bytes that are present.
  EXPECT_EQ(q.score_ip_encoded_lite(lite, code.mse_indices, code.qjl_bits, 0.0, ks), mse_only);
  // Either form with no sign bytes scores the MSE term alone, whatever gamma.
  EXPECT_EQ(q.score_ip_encoded_lite(lite, code.mse_indices, {}, code.gamma, ks), mse_only);
  EXPECT_NEAR(q.score_ip_encoded(full, code.mse_indices, {}, code.gamma, ks), mse_only, 1e-6);
  EXPECT_NE(q.score_ip_encoded(full, code.mse_indices, code.qjl_bits, code.gamma, ks),
            q.score_ip_encoded(full, code.mse_indices, {}, code.gamma, ks));
}

TEST(ProdQuantizer, QueryFromCodesScoresLevelProducts) {
  const ProdQuantizer q = ProdQuantizer::new_srht(40, 3, 8);
  const EncodedVector a = q.quantize(random_unit_vector(40, 1));
  const EncodedVector c = q.quantize(random_unit_vector(40, 2));
  const PreparedIpQueryLite pq = q.prepare_ip_query_from_codes(a.mse_indices);
  EXPECT_EQ(pq.q_proj, std::vector<float>(q.n(), 0.0f));
  const auto& levels = q.mse_quantizer().centroids;
  float expect = 0.0f;
  for (std::size_t i = 0; i < q.n(); ++i) expect += levels[a.mse_indices[i]] * levels[c.mse_indices[i]];
  const auto& ks = scoring::portable_score_kernels();
  EXPECT_EQ(q.score_ip_encoded_lite(pq, c.mse_indices, {}, 0.0, ks), expect);
  // The zero projection leaves no QJL term even with a sketch and gamma.
  EXPECT_NEAR(q.score_ip_encoded_lite(pq, c.mse_indices, c.qjl_bits, c.gamma, ks), expect, 1e-6);

  std::vector<std::uint16_t> short_codes(a.mse_indices.begin(), a.mse_indices.end() - 1);
  EXPECT_THROW(q.prepare_ip_query_from_codes(short_codes), Panic);
  std::vector<std::uint16_t> bad = a.mse_indices;
  bad[5] = 4;  // 2 MSE bits: 4 levels
  EXPECT_THROW(q.prepare_ip_query_from_codes(bad), Panic);
}

TEST(ProdQuantizer, ScoringRejectsShortInputs) {
  const ProdQuantizer q = ProdQuantizer::new_srht(40, 4, 8);
  const EncodedVector code = q.quantize(random_unit_vector(40, 1));
  const auto query = random_unit_vector(40, 2);
  const PreparedIpQuery full = q.prepare_ip_query(query);
  const PreparedIpQueryLite lite = q.prepare_ip_query_lite(query);
  std::vector<std::uint16_t> short_idx(code.mse_indices.begin(), code.mse_indices.end() - 1);
  EXPECT_THROW(q.score_ip_encoded(full, short_idx, code.qjl_bits, code.gamma), Panic);
  EXPECT_THROW(q.score_ip_encoded_lite(lite, short_idx, code.qjl_bits, code.gamma), Panic);
  auto packed = q.pack_mse_indices(code.mse_indices);
  packed.pop_back();
  EXPECT_THROW(q.score_ip_packed(full, packed, code.qjl_bits, code.gamma), Panic);
  EXPECT_THROW(q.score_ip_packed_lite(lite, packed, code.qjl_bits, code.gamma), Panic);
  EXPECT_THROW(q.prepare_ip_query(std::vector<float>(39)), Panic);
  EXPECT_THROW(q.prepare_ip_query_lite(std::vector<float>(41)), Panic);
}

std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<std::uint32_t> out(v.size());
  std::transform(v.begin(), v.end(), out.begin(), [](float x) { return std::bit_cast<std::uint32_t>(x); });
  return out;
}

// Queries prepared together (blocks of rows sharing each pass over a matrix,
// the rows of a large dimension split across the pool) carry the bits of
// queries prepared one at a time (which the AVX-512 forms compute from the
// matrices' transposes while they stay cached): a full block and a tail,
// below and above the dimension where the products split.
TEST(ProdQuantizer, QueriesPreparedTogetherMatchOneAtATime) {
  constexpr std::size_t kRows = ProdQuantizer::kQueryBlockRows + 5;
  for (const Mode& mode : kModes) {
    for (const std::uint64_t d : {std::uint64_t{100}, std::uint64_t{linalg::kSplitProductMinDim + 3}}) {
      for (const std::uint64_t b : {3u, 5u}) {
        const ProdQuantizer q = mode.make(d, b, 11);
        const std::vector<float> rows = testing::random_vector(kRows * d, static_cast<unsigned>(d + b));
        const std::vector<PreparedIpQuery> together = q.prepare_ip_queries(rows);
        ASSERT_EQ(together.size(), kRows);
        for (std::size_t r = 0; r < kRows; ++r) {
          SCOPED_TRACE(std::string(mode.name) + " d=" + std::to_string(d) + " b=" + std::to_string(b) +
                       " row " + std::to_string(r));
          const PreparedIpQuery alone = q.prepare_ip_query(std::span(rows).subspan(r * d, d));
          const PreparedIpQuery& batch = together[r];
          ASSERT_EQ(bits_of(batch.q_rot), bits_of(alone.q_rot));
          ASSERT_EQ(bits_of(batch.q_proj), bits_of(alone.q_proj));
          ASSERT_EQ(bits_of(batch.lut), bits_of(alone.lut));
          ASSERT_EQ(batch.k, alone.k);
          ASSERT_EQ(std::bit_cast<std::uint32_t>(batch.qjl_scale), std::bit_cast<std::uint32_t>(alone.qjl_scale));
          ASSERT_EQ(bits_of(batch.pair_tables.pairs), bits_of(alone.pair_tables.pairs));
          ASSERT_EQ(bits_of(batch.pair_tables.signs), bits_of(alone.pair_tables.signs));
        }
      }
    }
  }
  const ProdQuantizer q = ProdQuantizer::new_srht(40, 4, 8);
  EXPECT_TRUE(q.prepare_ip_queries({}).empty());
  EXPECT_THROW(q.prepare_ip_queries(std::vector<float>(79)), Panic);
}

TEST(ProdQuantizer, PackingMethodsUseTheStageWidth) {
  for (const auto& q : {ProdQuantizer::new_srht(100, 4, 1), ProdQuantizer::new_srht_fast(100, 4, 1),
                        ProdQuantizer::new_dense(33, 9, 1)}) {
    const EncodedVector code = q.quantize(random_unit_vector(q.d(), 4));
    const auto packed = q.pack_mse_indices(code.mse_indices);
    ASSERT_EQ(packed.size(), q.packed_mse_len());
    std::vector<std::uint16_t> a(q.n()), b(q.n());
    q.unpack_mse_indices(packed, a);
    q.unpack_mse_indices(packed, b, packing::portable_unpack_kernels());
    EXPECT_EQ(a, code.mse_indices);
    EXPECT_EQ(b, code.mse_indices);
#if VELQ_X86
    if (has_avx2()) {
      std::vector<std::uint16_t> c(q.n());
      q.unpack_mse_indices(packed, c, packing::avx2_unpack_kernels());
      EXPECT_EQ(c, code.mse_indices);
    }
#endif
  }
}

// A vector's code depends on the vector alone: quantized singly, in a batch
// of any size or at any position, it has the same bits (log replay
// re-quantizes single vectors written in batches).
TEST(ProdQuantizer, BatchCodesMatchSingleCodes) {
  for (const auto& q : {ProdQuantizer::new_dense(37, 4, 3), ProdQuantizer::new_dense_fast(16, 4, 3),
                        ProdQuantizer::new_srht(37, 4, 3)}) {
    const std::size_t count = 70;  // more than two blocks, the last one partial
    const std::vector<float> rows = testing::random_vector(count * q.d(), 11);
    const std::vector<EncodedVector> batch = q.quantize_batch(rows);
    ASSERT_EQ(batch.size(), count);
    const std::vector<EncodedVector> tail =
        q.quantize_batch(std::span(rows).subspan(5 * q.d(), 3 * q.d()));
    for (std::size_t v = 0; v < count; ++v) {
      const EncodedVector one = q.quantize(std::span(rows).subspan(v * q.d(), q.d()));
      EXPECT_EQ(one.mse_indices, batch[v].mse_indices) << v;
      EXPECT_EQ(one.qjl_bits, batch[v].qjl_bits) << v;
      EXPECT_EQ(one.gamma, batch[v].gamma) << v;
      if (v >= 5 && v < 8) {
        EXPECT_EQ(tail[v - 5].qjl_bits, batch[v].qjl_bits);
      }
    }
    // Callers scheduling their own blocks get the same codes from any cut.
    std::vector<EncodedVector> cut(count);
    for (const std::size_t take : {std::size_t{1}, std::size_t{66}, std::size_t{3}}) {
      const std::size_t first = take == 1 ? 0 : (take == 66 ? 1 : 67);
      q.quantize_rows(std::span(rows).subspan(first * q.d(), take * q.d()),
                      std::span(cut).subspan(first, take));
    }
    for (std::size_t v = 0; v < count; ++v) {
      EXPECT_EQ(cut[v].mse_indices, batch[v].mse_indices) << v;
      EXPECT_EQ(cut[v].qjl_bits, batch[v].qjl_bits) << v;
      EXPECT_EQ(cut[v].gamma, batch[v].gamma) << v;
    }
  }
  EXPECT_THROW(ProdQuantizer::new_dense(8, 4, 1).quantize_batch(std::vector<float>(12)), Panic);
  std::vector<EncodedVector> two(2);
  EXPECT_THROW(ProdQuantizer::new_dense(8, 4, 1).quantize_rows(std::vector<float>(8), two), Panic);
}

// Blocks of any size, the processor's own included, give the codes of one
// vector at a time, and the squares reported beside them are those of the
// stored code's decoding (gamma rounded to f32, as a slot keeps it).
TEST(ProdQuantizer, BlockSizesAndDecodedSquares) {
  for (const Mode& mode : kModes) {
    const ProdQuantizer q = mode.make(48, 4, 5);
    const std::size_t count = 41, d = q.d();
    const std::vector<float> rows = testing::random_vector(count * d, 21);
    for (const std::size_t block : {std::size_t{0}, std::size_t{1}, std::size_t{16},
                                    std::size_t{40}, std::size_t{256}}) {
      std::vector<EncodedVector> codes(count);
      std::vector<double> squares(count, -1.0);
      q.quantize_rows(rows, codes, squares, block);
      for (std::size_t v = 0; v < count; ++v) {
        const EncodedVector one = q.quantize(std::span(rows).subspan(v * d, d));
        ASSERT_EQ(one.mse_indices, codes[v].mse_indices) << mode.name << block << " " << v;
        ASSERT_EQ(one.qjl_bits, codes[v].qjl_bits) << mode.name << block << " " << v;
        ASSERT_EQ(one.gamma, codes[v].gamma) << mode.name << block << " " << v;
        const std::vector<double> decoded = q.dequantize(
            one.mse_indices, one.qjl_bits, static_cast<float>(one.gamma));
        double expected = 0.0;
        for (const double x : decoded) expected += x * x;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(squares[v]), std::bit_cast<std::uint64_t>(expected))
            << mode.name << " block " << block << " vector " << v;
      }
      // Decoding the stored codes alone, in blocks of the same size, gives the same bits.
      std::vector<CodeView> stored(count);
      for (std::size_t v = 0; v < count; ++v) {
        stored[v] = {codes[v].mse_indices, codes[v].qjl_bits, static_cast<float>(codes[v].gamma)};
      }
      std::vector<double> decoded(count, -1.0);
      q.decoded_squares_of(stored, decoded, block);
      for (std::size_t v = 0; v < count; ++v) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(decoded[v]), std::bit_cast<std::uint64_t>(squares[v]))
            << mode.name << " decoded in blocks of " << block << ", vector " << v;
      }
    }
    std::vector<EncodedVector> two(2);
    std::vector<double> three(3);
    EXPECT_THROW(q.quantize_rows(std::vector<float>(2 * d), two, three), Panic) << mode.name;
  }
}

// Blocks follow the cache: one product's inputs and outputs for the block and
// a strip of 64 matrix rows fit it, in steps of 16 rows, never fewer than 16
// nor more than 256.
TEST(ProdQuantizer, BlockRowsFollowTheCache) {
  EXPECT_EQ(ProdQuantizer::block_rows_for(1536, 2u << 20), 128u);
  EXPECT_EQ(ProdQuantizer::block_rows_for(1536, 1u << 20), 48u);
  EXPECT_EQ(ProdQuantizer::block_rows_for(1536, 256u << 10), 16u);  // the strip alone overflows
  EXPECT_EQ(ProdQuantizer::block_rows_for(384, 2u << 20), 256u);
  EXPECT_EQ(ProdQuantizer::block_rows_for(0, 2u << 20), 16u);
  for (const std::size_t d : {100u, 768u, 1536u, 3072u}) {
    for (const std::size_t cache : {512u << 10, 1u << 20, 2u << 20, 32u << 20}) {
      const std::size_t rows = ProdQuantizer::block_rows_for(d, cache);
      ASSERT_EQ(rows % 16, 0u);
      if (rows > 16 && rows < 256) {
        EXPECT_LE((2 * rows + 64) * d * 4, cache) << d << " " << cache;
      }
    }
  }
  const ProdQuantizer dense = ProdQuantizer::new_dense(64, 4, 1);
  EXPECT_GE(dense.batch_block_rows(), 16u);
  EXPECT_LE(dense.batch_block_rows(), 256u);
}

// The codec written out with the portable kernels: every sum sequential in
// index order, a multiply then an add per term.
EncodedVector sequential_code(const ProdQuantizer& q, std::span<const float> x) {
  const MseQuantizer& mse = q.mse_quantizer();
  const QjlQuantizer& qjl = q.qjl_quantizer();
  const std::size_t d = q.d(), n = q.n();
  std::vector<float> y(n);
  if (mse.is_dense()) {
    linalg::row_dots_portable(mse.rotation_matrix->data(), d, d, d, x.data(), y.data());
  } else {
    linalg::srht_portable(x, mse.rotation_signs, y);
  }
  EncodedVector code;
  code.mse_indices.resize(n);
  nearest_levels_portable(mse.centroids, y, code.mse_indices);
  code.qjl_bits.assign((n + 7) / 8, 0);
  if (q.fast_mode()) return code;
  for (std::size_t i = 0; i < n; ++i) y[i] = mse.centroids[code.mse_indices[i]];
  std::vector<float> approx(d), residual(d), projected(n);
  if (mse.is_dense()) {
    linalg::mat_t_vec_portable(*mse.rotation_matrix, d, y, approx);
  } else {
    linalg::inverse_srht_portable(y, mse.rotation_signs, approx, d);
  }
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double r = static_cast<double>(x[i]) - static_cast<double>(approx[i]);
    sum_sq += r * r;
    residual[i] = static_cast<float>(r);
  }
  code.gamma = std::sqrt(sum_sq);
  float factor = 1.0f;
  if (qjl.is_dense()) {
    linalg::row_dots_portable(qjl.projection_matrix->data(), d, d, d, residual.data(),
                              projected.data());
    factor = qjl.dense_factor();
  } else {
    linalg::srht_portable(residual, qjl.projection_signs, projected);
  }
  pack_nonnegative_portable(projected, factor, code.qjl_bits);
  return code;
}

bool same_code(const EncodedVector& a, const EncodedVector& b) {
  return a.mse_indices == b.mse_indices && a.qjl_bits == b.qjl_bits &&
         std::bit_cast<std::uint64_t>(a.gamma) == std::bit_cast<std::uint64_t>(b.gamma);
}

// A stored code must not depend on the processor or on how it was written:
// a single write, a batch, and log replay (which re-quantizes) all give the
// sequential form's bits. Summing in another order or fusing a multiply and
// an add moves gamma in the last bits for most vectors.
TEST(ProdQuantizer, EveryRoadGivesTheSequentialCode) {
  for (const std::size_t d : {128u, 100u, 384u}) {
    const std::size_t count = d == 128 ? 3000 : 600;
    std::vector<float> rows;
    for (std::size_t v = 0; v < count; ++v) {
      const std::vector<float> x = random_unit_vector(d, static_cast<unsigned>(v + 100 * d));
      rows.insert(rows.end(), x.begin(), x.end());
    }
    for (const Mode& mode : kModes) {
      for (const std::uint64_t b : {2u, 4u, 8u}) {
        SCOPED_TRACE(std::string(mode.name) + " d=" + std::to_string(d) + " b=" + std::to_string(b));
        const ProdQuantizer q = mode.make(d, b, 42);
        const std::vector<EncodedVector> batch = q.quantize_batch(rows);
        std::size_t single_differs = 0, batch_differs = 0;
        for (std::size_t v = 0; v < count; ++v) {
          const std::span<const float> x = std::span(rows).subspan(v * d, d);
          const EncodedVector want = sequential_code(q, x);
          single_differs += same_code(q.quantize(x), want) ? 0 : 1;
          batch_differs += same_code(batch[v], want) ? 0 : 1;
        }
        EXPECT_EQ(single_differs, 0u) << "of " << count << " single writes";
        EXPECT_EQ(batch_differs, 0u) << "of " << count << " batch writes";
      }
    }
  }
}

// Both batch forms give each code dequantize's bits, whatever the group
// (dense groups of 16 with every remainder, codes at any position).
TEST(ProdQuantizer, DequantizeBatchKeepsOrder) {
  for (const ProdQuantizer& q :
       {ProdQuantizer::new_srht(64, 4, 2), ProdQuantizer::new_dense(37, 4, 2),
        ProdQuantizer::new_dense_fast(24, 3, 2), ProdQuantizer::new_dense(64, 2, 5)}) {
    std::vector<EncodedVector> codes;
    for (std::uint32_t i = 0; i < 100; ++i) codes.push_back(q.quantize(random_unit_vector(q.d(), i)));
    std::vector<CodeView> views;
    for (const auto& c : codes) views.push_back({c.mse_indices, c.qjl_bits, c.gamma});
    const auto batch = q.dequantize_batch(views);
    ASSERT_EQ(batch.size(), codes.size());
    for (const std::size_t skip : {0u, 3u, 83u, 99u}) {
      const std::span<const CodeView> part = std::span(views).subspan(skip);
      std::vector<double> grouped(part.size() * q.d());
      q.dequantize_codes_into(part, grouped);
      for (std::size_t i = 0; i < part.size(); ++i) {
        const std::span<const double> x = std::span(grouped).subspan(i * q.d(), q.d());
        EXPECT_TRUE(std::equal(x.begin(), x.end(), batch[skip + i].begin()))
            << "d=" << q.d() << " code " << skip + i;
      }
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
      EXPECT_EQ(batch[i], q.dequantize(codes[i].mse_indices, codes[i].qjl_bits, codes[i].gamma));
    }
  }
}

}  // namespace
}  // namespace velq
