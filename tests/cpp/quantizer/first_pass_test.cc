// Blocked codes and the first pass: the layout follows slot writes, every
// kernel form gives the same integer sums, and the bound is never below the
// estimate of any exact kernel.
#include "quantizer/first_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

struct Codes {
  std::size_t stride = 0;
  std::vector<std::uint8_t> slots;
  std::vector<EncodedVector> encoded;
};

Codes encode(const ProdQuantizer& q, std::size_t count, unsigned seed) {
  Codes c;
  const std::size_t m = q.packed_mse_len(), qlen = q.fast_mode() ? 0 : q.qjl_len();
  c.stride = m + qlen + 9;
  c.slots.assign(count * c.stride, 0);
  // Unit vectors, as the engine stores them.
  std::vector<float> rows = testing::random_vector(count * q.d(), seed);
  for (std::size_t i = 0; i < count; ++i) {
    double sq = 0.0;
    for (std::size_t j = 0; j < q.d(); ++j) sq += static_cast<double>(rows[i * q.d() + j]) * rows[i * q.d() + j];
    for (std::size_t j = 0; j < q.d(); ++j) rows[i * q.d() + j] /= static_cast<float>(std::sqrt(sq));
  }
  c.encoded = q.quantize_batch(rows);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* slot = c.slots.data() + i * c.stride;
    const auto packed = q.pack_mse_indices(c.encoded[i].mse_indices);
    std::memcpy(slot, packed.data(), m);
    std::memcpy(slot + m, c.encoded[i].qjl_bits.data(), qlen);
    const float gamma = static_cast<float>(c.encoded[i].gamma), norm = 1.0f;
    std::memcpy(slot + m + qlen, &gamma, 4);
    std::memcpy(slot + m + qlen + 4, &norm, 4);
  }
  return c;
}

// Dimensions with odd n, n not a multiple of 4 or 8, and more than 256
// index fields (the 16-bit sums are widened between groups of fields).
TEST(FirstPass, BoundNeverBelowAnyExactKernel) {
  std::vector<const scoring::ScoreKernels*> kernels = {&scoring::portable_score_kernels()};
  std::vector<const first_pass::FirstPassKernels*> passes = {&first_pass::portable_first_pass_kernels()};
#if VELQ_X86
  if (has_avx2()) {
    kernels.push_back(&scoring::avx2_score_kernels());
    passes.push_back(&first_pass::avx2_first_pass_kernels());
  }
  if (has_avx512()) {
    kernels.push_back(&scoring::avx512_score_kernels());
    passes.push_back(&first_pass::avx512_first_pass_kernels());
  }
#endif
  double smallest = 1e300;
  for (const std::size_t d : {5u, 13u, 30u, 100u, 300u, 600u}) {
    for (const auto& q : {ProdQuantizer::new_dense(d, 4, 1), ProdQuantizer::new_dense_fast(d, 4, 1),
                          ProdQuantizer::new_srht(d, 4, 1), ProdQuantizer::new_dense(d, 2, 1),
                          ProdQuantizer::new_srht_fast(d, 3, 1)}) {
      const std::size_t count = 70;
      const Codes c = encode(q, count, static_cast<unsigned>(d));
      const BlockedCodes blocked = BlockedCodes::build(q, c.slots, c.stride, count);
      for (unsigned t = 0; t < 4; ++t) {
        const std::vector<float> query = testing::random_vector(d, 500 + t);
        double query_norm = 0.0;
        for (const float v : query) query_norm += static_cast<double>(v) * v;
        query_norm = std::sqrt(query_norm);
        const PreparedIpQuery with_tables = q.prepare_ip_query(query);
        PreparedIpQuery pq = with_tables;
        pq.pair_tables = {};  // the register kernels
        const FirstPassQuery fq = prepare_first_pass(q, pq);
        // The bounds of each first-pass form; the integer sums must agree.
        std::vector<std::vector<double>> bound_sets;
        for (const auto* f : passes) {
          bound_sets.emplace_back(blocked.blocks() * BlockedShape::kCodes);
          for (std::size_t b = 0; b < blocked.blocks(); ++b) {
            block_bounds(fq, blocked, b, {}, bound_sets.back().data() + b * BlockedShape::kCodes, *f);
            std::uint32_t sums[3][2][BlockedShape::kCodes];
            for (std::size_t k = 0; k < passes.size(); ++k) {
              passes[k]->block_sums(blocked.block(b), blocked.shape(), fq.tables.data(), sums[k][0],
                                    sums[k][1]);
              ASSERT_EQ(std::memcmp(sums[0], sums[k], sizeof sums[0]), 0) << passes[k]->name;
            }
          }
        }
        const std::vector<double>& bounds = bound_sets[0];
        for (std::size_t i = 0; i < count; ++i) {
          const EncodedVector& e = c.encoded[i];
          const auto signs = q.fast_mode() ? std::vector<std::uint8_t>() : e.qjl_bits;
          const double gamma = static_cast<float>(e.gamma);
          const auto packed = q.pack_mse_indices(e.mse_indices);
          for (const auto* k : kernels) {
            for (const double s : {q.score_ip_encoded(pq, e.mse_indices, signs, gamma, *k),
                                   q.score_ip_packed(pq, packed, signs, gamma, *k),
                                   q.score_ip_packed(with_tables, packed, signs, gamma, *k)}) {
              for (const auto& set : bound_sets) {
                ASSERT_GE(set[i], s) << "d " << d << " code " << i << " " << k->name;
                smallest = std::min(smallest, set[i] - s);
              }
            }
          }
          // Tight enough to prune at four bits: at most 4% of the
          // query's norm above.
          if (q.b() == 4) {
            EXPECT_LT(bounds[i] - q.score_ip_encoded(pq, e.mse_indices, signs, gamma),
                      0.04 * query_norm);
          }
        }
      }
    }
  }
  EXPECT_GT(smallest, 0.0);
}

// Every vector form against the portable one on random blocks and tables:
// pair counts odd and even, below and across the widening of the 16-bit
// sums (768 coordinates: 384 index pairs), narrow and wide index tables,
// and table bytes up to 255 in every field.
TEST(FirstPass, VectorFormsGiveThePortableSums) {
  std::vector<const first_pass::FirstPassKernels*> forms;
#if VELQ_X86
  if (has_avx2()) forms.push_back(&first_pass::avx2_first_pass_kernels());
  if (has_avx512()) forms.push_back(&first_pass::avx512_first_pass_kernels());
#endif
  if (forms.empty()) GTEST_SKIP() << "no vector form on this processor";
  std::mt19937 gen(11);
  const auto ceil_div = [](std::size_t a, std::size_t b) { return (a + b - 1) / b; };
  for (const std::size_t n : {1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 384u,
                              513u, 768u}) {
    for (const unsigned bits : {1u, 3u, 4u}) {
      for (const bool sketch : {false, true}) {
        BlockedShape shape;
        shape.n = n;
        shape.bits = bits;
        shape.index_pairs = ceil_div(n, 2);
        shape.sign_pairs = sketch ? ceil_div(ceil_div(n, 4), 2) : 0;
        std::vector<std::uint8_t> block(shape.block_bytes());
        // Narrow tables serve fields below 8 only.
        const unsigned field_top = bits <= 3 ? 8 : 16;
        for (std::size_t i = 0; i < shape.gamma_offset(); ++i) {
          const unsigned top = i < shape.index_pairs * BlockedShape::kCodes ? field_top : 16;
          block[i] = static_cast<std::uint8_t>(gen() % top | (gen() % top) << 4);
        }
        // Exactly sized, so a read past the tables' end is seen by the sanitizers.
        std::vector<std::uint8_t> tables(first_pass_table_bytes(shape));
        for (auto& t : tables) t = static_cast<std::uint8_t>(gen() % 3 == 0 ? 255 : gen());
        std::uint32_t want[2][BlockedShape::kCodes], got[2][BlockedShape::kCodes];
        first_pass::portable_first_pass_kernels().block_sums(block.data(), shape, tables.data(), want[0],
                                                  want[1]);
        for (const auto* f : forms) {
          f->block_sums(block.data(), shape, tables.data(), got[0], got[1]);
          ASSERT_EQ(std::memcmp(want, got, sizeof want), 0)
              << f->name << " n " << n << " bits " << bits << " sketch " << sketch;
        }
      }
    }
  }
}

// A NaN or infinite query value, or a NaN gamma, gives bounds that prune nothing.
TEST(FirstPass, NonFiniteInputsNeverPrune) {
  const ProdQuantizer q = ProdQuantizer::new_dense(16, 4, 1);
  Codes c = encode(q, 32, 3);
  const float nan = std::nanf("");
  std::memcpy(c.slots.data() + 5 * c.stride + q.packed_mse_len() + q.qjl_len(), &nan, 4);
  const BlockedCodes blocked = BlockedCodes::build(q, c.slots, c.stride, 32);
  double bounds[BlockedShape::kCodes];
  block_bounds(prepare_first_pass(q, q.prepare_ip_query(testing::random_vector(16, 1))), blocked, 0,
               {}, bounds);
  EXPECT_FALSE(bounds[5] < 1e300);
  for (const float bad : {nan, INFINITY, -INFINITY}) {
    std::vector<float> query = testing::random_vector(16, 2);
    query[3] = bad;
    block_bounds(prepare_first_pass(q, q.prepare_ip_query(query)), blocked, 0, {}, bounds);
    for (double u : bounds) EXPECT_FALSE(u < 1e300);
  }
}

// Updating slots one by one (growing past the end) gives the built layout.
TEST(FirstPass, UpdatedLayoutEqualsBuiltLayout) {
  for (const auto& q : {ProdQuantizer::new_srht(21, 4, 2), ProdQuantizer::new_srht_fast(21, 4, 2)}) {
    const Codes c = encode(q, 40, 6);
    const BlockedCodes built = BlockedCodes::build(q, c.slots, c.stride, 40);
    BlockedCodes updated = BlockedCodes::build(q, c.slots, c.stride, 0);
    for (std::size_t s = 40; s-- > 0;) {
      updated.update(s, std::span(c.slots).subspan(s * c.stride, c.stride));
    }
    ASSERT_EQ(updated.size(), 40u);
    ASSERT_EQ(updated.memory_bytes(), built.memory_bytes());
    EXPECT_EQ(std::memcmp(updated.block(0), built.block(0), built.memory_bytes()), 0);
    // Growing past the huge-page size moves the codes and zeroes the rest.
    updated.grow_to(160'000);
    ASSERT_GT(updated.memory_bytes(), std::size_t{2} << 20);
    EXPECT_EQ(std::memcmp(updated.block(0), built.block(0), built.memory_bytes()), 0);
    const std::uint8_t* tail = updated.block(0) + built.memory_bytes();
    EXPECT_TRUE(std::all_of(tail, updated.block(0) + updated.memory_bytes(),
                            [](std::uint8_t b) { return b == 0; }));
  }
  // Every field holds its index or its four sign bits, for every width of
  // index and for n with and without a whole last group of eight indices.
  for (const auto& q : {ProdQuantizer::new_dense(37, 2, 3), ProdQuantizer::new_dense(40, 3, 3),
                        ProdQuantizer::new_srht(37, 4, 3), ProdQuantizer::new_dense(45, 4, 3),
                        ProdQuantizer::new_srht_fast(29, 4, 3)}) {
    const Codes c = encode(q, 40, 9);
    const BlockedCodes blocked = BlockedCodes::build(q, c.slots, c.stride, 40);
    const BlockedShape& s = blocked.shape();
    for (std::size_t code = 0; code < 40; ++code) {
      const std::uint8_t* block = blocked.block(code / BlockedShape::kCodes);
      const auto field = [&](std::size_t f) {
        const std::uint8_t byte = block[f / 2 * BlockedShape::kCodes + code % BlockedShape::kCodes];
        return f % 2 == 0 ? byte & 0x0F : byte >> 4;
      };
      const EncodedVector& e = c.encoded[code];
      for (std::size_t i = 0; i < s.n; ++i) ASSERT_EQ(field(i), e.mse_indices[i]) << "index " << i;
      for (std::size_t g = 0; 4 * g < s.n && s.sign_pairs > 0; ++g) {
        ASSERT_EQ(field(2 * s.index_pairs + g), (e.qjl_bits[g / 2] >> (4 * (g % 2))) & 0x0F);
      }
    }
  }
  EXPECT_FALSE(BlockedCodes::supports(ProdQuantizer::new_dense(8, 6, 1)));
  const ProdQuantizer q = ProdQuantizer::new_srht(21, 4, 2);
  EXPECT_THROW(BlockedCodes::build(q, std::vector<std::uint8_t>(100), 10, 1), Panic);
}

}  // namespace
}  // namespace velq
