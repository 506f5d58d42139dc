#include "quantizer/qjl_quantizer.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "quantizer/test_support.h"

namespace velq {
namespace {

using testing::panic_message;
using testing::random_vector;
using testing::reference_lines;
using testing::reference_u64s;

constexpr std::uint64_t kSeedXor = 0xDEADBEEF;

float top_bit_sign(std::uint64_t v) { return (v >> 63) != 0 ? -1.0f : 1.0f; }

// A dense projection with M = I, built by hand.
QjlQuantizer identity_projection(std::uint64_t d) {
  QjlQuantizer q;
  q.d = d;
  q.n = d;
  q.projection_matrix = std::vector<float>(d * d, 0.0f);
  for (std::size_t i = 0; i < d; ++i) (*q.projection_matrix)[i * d + i] = 1.0f;
  return q;
}

TEST(QjlQuantizer, SrhtShapeAndSignStreams) {
  const QjlQuantizer q = QjlQuantizer::new_srht(100, 42);
  EXPECT_FALSE(q.is_dense());
  EXPECT_EQ(q.n, 128u);
  ASSERT_EQ(q.projection_signs.size(), 128u);
  const std::vector<std::uint64_t> plain = reference_u64s("chacha12_u64_seed42.txt");
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(q.projection_signs[i], top_bit_sign(plain[i]));
  }

  // The database seed XOR 0xDEADBEEF gives the stream of its own reference file.
  const QjlQuantizer x = QjlQuantizer::new_srht(100, 42 ^ kSeedXor);
  const std::vector<std::uint64_t> xored = reference_u64s("chacha12_u64_seed_xor.txt");
  for (std::size_t i = 0; i < xored.size(); ++i) {
    EXPECT_EQ(x.projection_signs[i], top_bit_sign(xored[i]));
  }
  EXPECT_NE(q.projection_signs, x.projection_signs);

  EXPECT_EQ(QjlQuantizer::new_srht(1, 3).n, 1u);
  EXPECT_EQ(QjlQuantizer::new_srht(100, 42), q);
}

// The dense matrix is the Gaussian stream in draw order, row after row.
TEST(QjlQuantizer, DenseMatrixIsGaussianStreamInOrder) {
  const QjlQuantizer q = QjlQuantizer::new_dense(8, 42);
  ASSERT_TRUE(q.is_dense());
  EXPECT_EQ(q.n, 8u);
  const std::vector<std::string> lines = reference_lines("normal_f64_seed42.txt");
  ASSERT_EQ(q.projection_matrix->size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string bits = lines[i].substr(lines[i].find(' ') + 1);
    EXPECT_EQ(std::bit_cast<std::uint32_t>((*q.projection_matrix)[i]),
              static_cast<std::uint32_t>(std::stoul(bits, nullptr, 16)))
        << i;
  }
}

TEST(QjlQuantizer, DenseIdentityProjectionAndReconstruction) {
  const QjlQuantizer q = identity_projection(4);
  std::vector<float> out(4);
  q.apply_projection(std::vector<float>{1.0f, -2.0f, 4.0f, 0.0f}, out);
  EXPECT_EQ(out, (std::vector<float>{0.5f, -1.0f, 2.0f, 0.0f}));

  const std::vector<std::uint8_t> all_set = {0x0F};
  EXPECT_EQ(q.reconstruct(all_set, 1.0, 1.0f), (std::vector<double>{0.5, 0.5, 0.5, 0.5}));
  // Bit i of the byte is sign i; clear means -1. c = f32(gamma) * scale.
  const std::vector<std::uint8_t> mixed = {0b0101};
  EXPECT_EQ(q.reconstruct(mixed, 2.0, 1.5f), (std::vector<double>{1.5, -1.5, 1.5, -1.5}));
}

TEST(QjlQuantizer, ZeroGammaGivesZeroVector) {
  for (const QjlQuantizer& q : {QjlQuantizer::new_srht(20, 1), QjlQuantizer::new_dense(20, 1)}) {
    const std::vector<std::uint8_t> bytes = {0xA5, 0x3C, 0xFF, 0x00};
    for (double v : q.reconstruct(bytes, 0.0, 1.3f)) EXPECT_EQ(v, 0.0);
  }
}

TEST(QjlQuantizer, ShortSignBytesPanic) {
  const QjlQuantizer q = QjlQuantizer::new_srht(20, 1);  // n = 32: 4 bytes
  EXPECT_NE(panic_message([&] { q.reconstruct(std::vector<std::uint8_t>(3), 1.0, 1.0f); }),
            "no panic");
  EXPECT_EQ(panic_message([&] { q.reconstruct(std::vector<std::uint8_t>(4), 1.0, 1.0f); }),
            "no panic");
}

// Reconstruction applies the transpose of the projection:
// <projection(x), s> = <x, reconstruct(s)> with gamma = scale = 1.
TEST(QjlQuantizer, ReconstructionIsTransposeOfProjection) {
  for (const QjlQuantizer& q : {QjlQuantizer::new_srht(50, 6), QjlQuantizer::new_dense(50, 6)}) {
    const std::vector<float> x = random_vector(50, 8);
    std::vector<float> p(q.n);
    q.apply_projection(x, p);
    std::vector<std::uint8_t> bytes((q.n + 7) / 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(37 * i + 11);
    }
    double lhs = 0.0;
    for (std::size_t i = 0; i < q.n; ++i) {
      lhs += p[i] * (((bytes[i / 8] >> (i % 8)) & 1) != 0 ? 1.0 : -1.0);
    }
    const std::vector<double> r = q.reconstruct(bytes, 1.0, 1.0f);
    double rhs = 0.0;
    for (std::size_t j = 0; j < 50; ++j) rhs += x[j] * r[j];
    EXPECT_NEAR(lhs, rhs, 1e-4) << (q.is_dense() ? "dense" : "srht");
  }
}

}  // namespace
}  // namespace velq
