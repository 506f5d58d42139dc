#include "linalg/dense.h"

#include <gtest/gtest.h>

#include <bit>

#include "common/cpu_features.h"
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

// The AVX2 forms tile rows by 16 and 8 and columns by 8: cover every tail.
TEST(Dense, Avx2BitIdenticalToPortable) {
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::vector<std::size_t> dims;
  for (std::size_t d = 1; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {63u, 64u, 65u, 100u, 384u}) dims.push_back(d);
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
