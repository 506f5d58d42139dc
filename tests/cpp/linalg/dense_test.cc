#include "linalg/dense.h"
#include "linalg/blocked_product.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "common/cpu_features.h"
#include "common/worker_pool.h"
#include "quantizer/test_support.h"

namespace velq::linalg {
namespace {

using velq::testing::panic_message;
using velq::testing::random_vector;

void expect_bits_equal(std::span<const float> a, std::span<const float> b, std::size_t d) {
  for (std::size_t i = 0; i < d; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(a[i]), std::bit_cast<std::uint32_t>(b[i]))
        << "d=" << d << " index " << i;
  }
}

std::vector<float> transposed(const std::vector<float>& m, std::size_t d) {
  std::vector<float> t(m.size());
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) t[j * d + i] = m[i * d + j];
  }
  return t;
}

TEST(Dense, ProductsSumInIndexOrder) {
  const std::vector<float> m = {1.0f, 2.0f, 3.0f, 4.0f};
  std::vector<float> out(2);
  mat_vec(m, 2, std::vector<float>{1.0f, -1.0f}, out);
  EXPECT_EQ(out, (std::vector<float>{-1.0f, -1.0f}));
  mat_vec(m, 2, std::vector<float>{2.0f}, out);  // shorter input: leading columns only
  EXPECT_EQ(out, (std::vector<float>{2.0f, 6.0f}));
  mat_t_vec(m, 2, std::vector<float>{1.0f, -1.0f}, out);
  EXPECT_EQ(out, (std::vector<float>{-2.0f, -2.0f}));
}

// The AVX2 forms tile rows by 16 and 8 and columns by 8; the batched
// transpose tiles up to 4 vectors by 24-64 columns in runs of 128 rows:
// cover every tail.
TEST(Dense, Avx2BitIdenticalToPortable) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::vector<std::size_t> dims;
  for (std::size_t d = 1; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {63u, 64u, 65u, 100u, 129u, 300u, 384u}) dims.push_back(d);
  for (std::size_t d : dims) {
    const std::vector<float> m = random_vector(d * d, static_cast<unsigned>(d));
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d) + 1);
    std::vector<float> a(d), b(d);
    for (std::size_t cols : {d, d / 2}) {
      row_dots_portable(m.data(), d, d, cols, x.data(), a.data());
      row_dots_avx2(m.data(), d, d, cols, x.data(), b.data());
      expect_bits_equal(a, b, d);
    }
    mat_t_vec_portable(m, d, x, a);
    mat_t_vec_avx2(m, d, x, b);
    expect_bits_equal(a, b, d);
    // Batches of every remainder: each vector's outputs are mat_t_vec's.
    for (const std::size_t count : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u}) {
      const std::vector<float> ys = random_vector(count * d, static_cast<unsigned>(d) + 7);
      std::vector<float> one(d), portable(count * d), avx2(count * d);
      mat_t_vecs_portable(m, d, ys.data(), count, portable.data());
      mat_t_vecs_avx2(m, d, ys.data(), count, avx2.data());
      for (std::size_t v = 0; v < count; ++v) {
        mat_t_vec_portable(m, d, std::span(ys).subspan(v * d, d), one);
        expect_bits_equal(one, std::span(portable).subspan(v * d, d), d);
        expect_bits_equal(one, std::span(avx2).subspan(v * d, d), d);
      }
    }
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

// The 16-lane form against the sequential sums: every vector count up to two
// full groups and more, and dimensions around the lane, tile and strip
// widths (partial blocks take masked lanes).
TEST(Dense, Avx512BitIdenticalToPortable) {
#if VELQ_X86
  if (!has_avx512()) GTEST_SKIP() << "no AVX-512 on this processor";
  for (const std::size_t d : {1u, 7u, 16u, 17u, 100u, 129u, 300u, 384u, 1536u}) {
    SCOPED_TRACE(d);
    const std::vector<float> m = random_vector(d * d, static_cast<unsigned>(d) + 3);
    std::vector<float> one(d), wide(d);
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d) + 4);
    mat_t_vec_portable(m, d, x, one);
    mat_t_vec_avx512(m, d, x, wide);
    expect_bits_equal(one, wide, d);
    for (std::size_t count = 1; count <= 9; ++count) {
      SCOPED_TRACE(count);
      const std::vector<float> ys = random_vector(count * d, static_cast<unsigned>(d + count));
      // Sentinels past the last vector catch stores beyond the masked lanes.
      std::vector<float> out(count * d + 16, -7.0f);
      mat_t_vecs_avx512(m, d, ys.data(), count, out.data());
      for (std::size_t v = 0; v < count; ++v) {
        mat_t_vec_portable(m, d, std::span(ys).subspan(v * d, d), one);
        expect_bits_equal(one, std::span(out).subspan(v * d, d), d);
      }
      for (std::size_t k = count * d; k < out.size(); ++k) ASSERT_EQ(out[k], -7.0f);
    }
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

// Every tile height (1-8 rows) and every column tail: each form is close to
// a double-precision product.
TEST(Dense, BlockedProductTilesStayNearTheExactProduct) {
  std::vector<const BlockedProductKernels*> forms = {&portable_blocked_kernels()};
#if VELQ_X86
  if (has_avx2()) forms.push_back(&avx2_blocked_kernels());
#endif
  for (const std::size_t cols : {1u, 7u, 8u, 9u, 17u, 64u, 100u}) {
    for (const std::size_t rows : {1u, 2u, 3u, 4u, 7u, 9u, 17u}) {
      const std::vector<float> x = random_vector(cols, static_cast<unsigned>(cols));
      const std::vector<float> m = random_vector(rows * cols, static_cast<unsigned>(rows + 50));
      for (const auto* k : forms) {
        SCOPED_TRACE(k->name);
        std::vector<float> out(rows + 1, -1.0f);
        k->row_products(x.data(), m.data(), rows, cols, out.data());
        EXPECT_EQ(out[rows], -1.0f) << "wrote past " << rows << " rows";
        for (std::size_t r = 0; r < rows; ++r) {
          double exact = 0.0, mag = 0.0;
          for (std::size_t j = 0; j < cols; ++j) {
            exact += static_cast<double>(m[r * cols + j]) * x[j];
            mag += std::abs(static_cast<double>(m[r * cols + j]) * x[j]);
          }
          EXPECT_NEAR(out[r], exact, 1e-6 * mag * static_cast<double>(cols));
        }
      }
    }
  }
}

// A query's product keeps the bits of its level's row products whichever
// layout the level reads: over every register and tile tail of outputs
// (16 and 48 for AVX-512), every tail of the eight lane sums, a range of
// outputs not starting at 0 (a pool chunk), without the transpose, and a
// matrix read by rows though its transpose is given (d = 521, where two
// such matrices outgrow a 2 MiB core cache). The AVX-512 form must give the
// AVX2 form's bits.
TEST(Dense, QueryProductKeepsTheRowProductsBits) {
  std::vector<const BlockedProductKernels*> forms = {&portable_blocked_kernels()};
#if VELQ_X86
  if (has_avx2()) forms.push_back(&avx2_blocked_kernels());
  if (has_avx512()) forms.push_back(&avx512_blocked_kernels());
#endif
  std::vector<std::size_t> dims;
  for (std::size_t d = 1; d <= 50; ++d) dims.push_back(d);
  for (std::size_t d : {63u, 64u, 65u, 95u, 96u, 97u, 100u, 143u, 144u, 145u, 384u, 521u}) {
    dims.push_back(d);
  }
  for (const std::size_t d : dims) {
    const std::vector<float> m = random_vector(d * d, static_cast<unsigned>(d) + 3);
    const std::vector<float> mt = transposed(m, d);
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d) + 4);
    const std::size_t first = d / 3, last = d - d / 5;
    for (const auto* k : forms) {
      SCOPED_TRACE(k->name);
      std::vector<float> rows(d);
      k->row_products(x.data(), m.data(), d, d, rows.data());
#if VELQ_X86
      if (k != forms.front()) {
        std::vector<float> avx2(d);
        avx2_blocked_kernels().row_products(x.data(), m.data(), d, d, avx2.data());
        expect_bits_equal(avx2, rows, d);
      }
#endif
      const std::span<const float> given(mt);
      for (const std::span<const float> t : {given, std::span<const float>()}) {
        std::vector<float> all(d, -1.0f), part(d, -1.0f);
        k->query_product(x.data(), m.data(), t, d, 0, d, all.data());
        expect_bits_equal(rows, all, d);
        k->query_product(x.data(), m.data(), t, d, first, last, part.data());
        for (std::size_t i = 0; i < d; ++i) {
          if (i < first || i >= last) {
            ASSERT_EQ(part[i], -1.0f) << "d=" << d << " wrote output " << i;
          } else {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(part[i]), std::bit_cast<std::uint32_t>(rows[i]))
                << "d=" << d << " output " << i;
          }
        }
      }
    }
  }
}

// The query-side product, through the widest form: every tile tail must
// stay within summation-order rounding of the sequential product.
TEST(Dense, BlockedMatVecAgreesWithSequential) {
  std::vector<std::size_t> dims;
  for (std::size_t d = 1; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {63u, 64u, 65u, 97u, 100u, 384u}) dims.push_back(d);
  for (const std::size_t d : dims) {
    const std::vector<float> m = random_vector(d * d, static_cast<unsigned>(d) + 7);
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d) + 8);
    std::vector<float> seq(d), blocked(d + 1, -1.0f);
    mat_vec(m, d, x, seq);
    mat_vec_blocked(m, transposed(m, d), d, x, blocked);
    for (std::size_t i = 0; i < d; ++i) {
      double mag = 0.0;
      for (std::size_t j = 0; j < d; ++j) mag += std::abs(static_cast<double>(m[i * d + j]) * x[j]);
      ASSERT_NEAR(blocked[i], seq[i], 1e-6 * mag * static_cast<double>(d)) << "d=" << d << " row " << i;
    }
    EXPECT_EQ(blocked[d], -1.0f) << "wrote past d=" << d;
  }
  std::vector<float> out(3);
  const std::vector<float> m(9);
  EXPECT_NE(panic_message([&] { mat_vec_blocked(m, {}, 3, out, std::span(out).first(2)); }),
            "no panic");
  EXPECT_NE(panic_message([&] { mat_vec_blocked(m, {}, 3, std::span(out).first(2), out); }),
            "no panic");
  EXPECT_NE(panic_message([&] { mat_vec_blocked(m, std::span(m).first(8), 3, out, out); }),
            "no panic");
}

// From the split size on the query product runs on the pool by rows: each
// output must keep the bits of the one-thread product, at odd sizes (chunk
// and tile tails), whatever the pool size (ctest runs this with pools of 1
// and 2 as well), and when called from inside a pool loop as query rows are.
TEST(Dense, SplitQueryProductKeepsItsBits) {
  const BlockedProductKernels& kernels = active_blocked_kernels();
  for (const std::size_t d : {kSplitProductMinDim - 1, kSplitProductMinDim, std::size_t{1001},
                              std::size_t{1536}}) {
    const std::vector<float> m = random_vector(d * d, static_cast<unsigned>(d));
    constexpr std::size_t kRows = 5;
    const std::vector<float> xs = random_vector(kRows * d, static_cast<unsigned>(d) + 1);
    const std::vector<float> mt = transposed(m, d);
    std::vector<float> whole(kRows * d), alone(d + 1, -1.0f), nested(kRows * d);
    for (std::size_t r = 0; r < kRows; ++r) {
      kernels.row_products(xs.data() + r * d, m.data(), d, d, whole.data() + r * d);
    }
    mat_vec_blocked(m, mt, d, std::span(xs).first(d), alone);
    expect_bits_equal(whole, alone, d);
    EXPECT_EQ(alone[d], -1.0f) << "wrote past d=" << d;
    parallel_for_each(kRows, 1, [&](std::size_t r) {
      mat_vec_blocked(m, mt, d, std::span(xs).subspan(r * d, d),
                      std::span(nested).subspan(r * d, d));
    });
    expect_bits_equal(whole, nested, kRows * d);
  }
}

TEST(Dense, ShapeInvariantsPanic) {
  const std::vector<float> m(9);
  std::vector<float> out(3), short_out(2);
  EXPECT_NE(panic_message([&] { mat_vec(m, 2, out, out); }), "no panic");
  EXPECT_NE(panic_message([&] { mat_vec(m, 3, out, short_out); }), "no panic");
  EXPECT_NE(panic_message([&] { mat_t_vec(m, 3, short_out, out); }), "no panic");
  // 2^32 squared wraps to 0 in 64 bits: an empty matrix must not pass for it.
  const std::size_t huge = std::size_t{1} << 32;
  EXPECT_EQ(panic_message([&] { mat_vec({}, huge, out, out); }),
            "dimension too large for a dense matrix");
}

}  // namespace
}  // namespace velq::linalg
