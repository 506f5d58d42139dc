#include "linalg/gram_schmidt.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "quantizer/test_support.h"

namespace velq::linalg {
namespace {

// Modified Gram-Schmidt written the plain way: row by row, each later row
// updated right after its dot product.
std::vector<float> plain_orthonormal_columns(std::vector<float> q, std::size_t d) {
  for (std::size_t i = 0; i < d; ++i) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < d; ++k) sum += q[i * d + k] * q[i * d + k];
    const float norm = std::sqrt(sum);
    if (norm > 1e-10f) {
      for (std::size_t k = 0; k < d; ++k) q[i * d + k] /= norm;
    }
    for (std::size_t j = i + 1; j < d; ++j) {
      float dot = 0.0f;
      for (std::size_t k = 0; k < d; ++k) dot += q[i * d + k] * q[j * d + k];
      for (std::size_t k = 0; k < d; ++k) q[j * d + k] -= q[i * d + k] * dot;
    }
  }
  std::vector<float> r(d * d);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) r[i * d + j] = q[j * d + i];
  }
  return r;
}

// The panelled, pooled and vectorised arrangement must not change one bit.
TEST(GramSchmidt, EqualsPlainLoopBitForBit) {
  for (std::size_t d : {1u, 2u, 7u, 8u, 9u, 17u, 64u, 131u}) {
    const std::vector<float> rows = testing::random_vector(d * d, static_cast<unsigned>(d));
    const std::vector<float> want = plain_orthonormal_columns(rows, d);
    const std::vector<float> got = orthonormal_columns(rows, d);
    for (std::size_t i = 0; i < d * d; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
          << "d=" << d << " entry " << i;
    }
  }
}

// A zero row has norm 0 and is left as it is; it stays zero. Rows become
// columns: R[i][j] = row_j[i].
TEST(GramSchmidt, ZeroRowStaysZero) {
  const std::vector<float> rows = {1.0f, 0.0f, 0.0f,   // e0
                                   0.0f, 0.0f, 0.0f,   // zero
                                   0.0f, 2.0f, 0.0f};  // 2·e1
  const std::vector<float> r = orthonormal_columns(rows, 3);
  EXPECT_EQ(r, (std::vector<float>{1.0f, 0.0f, 0.0f,  //
                                   0.0f, 0.0f, 1.0f,  //
                                   0.0f, 0.0f, 0.0f}));
}

}  // namespace
}  // namespace velq::linalg
