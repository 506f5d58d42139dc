#include "quantizer/mse_quantizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "common/worker_pool.h"
#include "quantizer/codebook.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

using testing::panic_message;
using testing::random_vector;
using testing::reference_lines;

std::vector<float> unit(std::vector<float> v) {
  double norm = 0.0;
  for (float x : v) norm += double(x) * x;
  for (float& x : v) x = static_cast<float>(x / std::sqrt(norm));
  return v;
}

double mean_squared_error(const MseQuantizer& q, unsigned trials) {
  double total = 0.0;
  for (unsigned t = 0; t < trials; ++t) {
    const std::vector<float> x = unit(random_vector(q.d, 1000 + t));
    const std::vector<double> back = q.dequantize(q.quantize(x));
    for (std::size_t i = 0; i < q.d; ++i) total += (back[i] - x[i]) * (back[i] - x[i]);
  }
  return total / trials;
}

TEST(MseQuantizer, SrhtShape) {
  const MseQuantizer q = MseQuantizer::new_srht(384, 3, 42);
  EXPECT_FALSE(q.is_dense());
  EXPECT_EQ(q.n, 512u);
  ASSERT_EQ(q.rotation_signs.size(), 512u);
  for (float s : q.rotation_signs) EXPECT_TRUE(s == 1.0f || s == -1.0f);
  // The signs are the generator's first draws for this seed.
  const std::vector<std::string> want = reference_lines("signs_seed42_n16.txt");
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(q.rotation_signs[i], std::stof(want[i]));
  // Levels are designed for the padded dimension.
  const std::vector<double> levels = lloyd_max(3, 512);
  ASSERT_EQ(q.centroids.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(q.centroids[i], static_cast<float>(levels[i]));
}

TEST(MseQuantizer, DimensionOneUsesInitialSpacing) {
  const MseQuantizer q = MseQuantizer::new_srht(1, 2, 5);
  EXPECT_EQ(q.n, 1u);
  EXPECT_EQ(q.centroids, (std::vector<float>{-0.7425f, -0.2475f, 0.2475f, 0.7425f}));
}

TEST(MseQuantizer, SameSeedSameQuantizer) {
  EXPECT_EQ(MseQuantizer::new_srht(100, 2, 7), MseQuantizer::new_srht(100, 2, 7));
  EXPECT_NE(MseQuantizer::new_srht(100, 2, 7), MseQuantizer::new_srht(100, 2, 8));
  EXPECT_EQ(MseQuantizer::new_dense(24, 2, 7), MseQuantizer::new_dense(24, 2, 7));
  EXPECT_NE(MseQuantizer::new_dense(24, 2, 7), MseQuantizer::new_dense(24, 2, 8));
}

// The first row drawn (8 Gaussians) becomes the first column of R once
// normalised; the draws are the reference samples for seed 42.
TEST(MseQuantizer, DenseFirstColumnIsFirstRowDrawn) {
  const MseQuantizer q = MseQuantizer::new_dense(8, 2, 42);
  ASSERT_TRUE(q.is_dense());
  EXPECT_EQ(q.n, 8u);
  EXPECT_TRUE(q.rotation_signs.empty());
  const std::vector<std::string> lines = reference_lines("normal_f64_seed42.txt");
  std::vector<float> row(8);
  float sum = 0.0f;
  for (std::size_t k = 0; k < 8; ++k) {
    row[k] = static_cast<float>(std::stod(lines[k]));
    sum += row[k] * row[k];
  }
  const float norm = std::sqrt(sum);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ((*q.rotation_matrix)[i * 8], row[i] / norm) << i;
}

TEST(MseQuantizer, DenseRotationIsOrthogonal) {
  for (std::uint64_t d : {1u, 5u, 64u, 200u}) {
    const MseQuantizer q = MseQuantizer::new_dense(d, 2, 3);
    const std::vector<float>& r = *q.rotation_matrix;
    ASSERT_EQ(r.size(), d * d);
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = 0; j < d; ++j) {
        double dot = 0.0;
        for (std::size_t k = 0; k < d; ++k) dot += double(r[i * d + k]) * r[j * d + k];
        ASSERT_NEAR(dot, i == j ? 1.0 : 0.0, 2e-4) << "d=" << d << " (" << i << "," << j << ")";
      }
    }
  }
}

TEST(MseQuantizer, ErrorShrinksWithBits) {
  for (bool dense : {false, true}) {
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint64_t b = 1; b <= 5; ++b) {
      const MseQuantizer q =
          dense ? MseQuantizer::new_dense(64, b, 11) : MseQuantizer::new_srht(100, b, 11);
      const double mse = mean_squared_error(q, 20);
      EXPECT_LT(mse, previous * 0.6) << (dense ? "dense" : "srht") << " b=" << b;
      previous = mse;
    }
    EXPECT_LT(previous, 0.02);
  }
}

// With d = 1 the rotation is x times the one sign, so a rotated value can be
// placed exactly halfway between two levels.
TEST(MseQuantizer, HalfwayGoesToLowerLevel) {
  MseQuantizer q = MseQuantizer::new_srht(1, 2, 9);
  q.centroids = {-0.5f, 0.25f, 0.75f, 1.0f};
  const float s = q.rotation_signs[0];
  EXPECT_EQ(q.quantize(std::vector<float>{0.5f * s})[0], 1);
  EXPECT_EQ(q.quantize(std::vector<float>{0.51f * s})[0], 2);
}

TEST(MseQuantizer, SixteenBitsAcceptedSeventeenRefused) {
  const MseQuantizer q = MseQuantizer::new_srht(8, 16, 1);
  EXPECT_EQ(q.centroids.size(), 65536u);
  EXPECT_EQ(panic_message([] { MseQuantizer::new_srht(8, 17, 1); }),
            "codebook too large for u16 indices; reduce bits");
  EXPECT_EQ(panic_message([] { MseQuantizer::new_dense(8, 64, 1); }),
            "codebook too large for u16 indices; reduce bits");
}

TEST(MseQuantizer, LengthAndIndexInvariantsPanic) {
  const MseQuantizer q = MseQuantizer::new_srht(10, 2, 1);
  EXPECT_NE(panic_message([&] { q.quantize(std::vector<float>(9)); }), "no panic");
  EXPECT_NE(panic_message([&] { q.dequantize(std::vector<std::uint16_t>(10)); }), "no panic");
  std::vector<std::uint16_t> bad(16, 0);
  bad[3] = 4;  // 2 bits: levels 0..3
  EXPECT_NE(panic_message([&] { q.dequantize(bad); }), "no panic");
}

// Pool threads share one quantizer and each use their own scratch buffers:
// results must not depend on which thread ran them or what it ran before.
TEST(MseQuantizer, ConcurrentUseMatchesSequential) {
  for (bool dense : {false, true}) {
    const MseQuantizer q =
        dense ? MseQuantizer::new_dense(96, 3, 5) : MseQuantizer::new_srht(96, 3, 5);
    constexpr std::size_t kVectors = 64;
    std::vector<std::vector<std::uint16_t>> codes(kVectors);
    std::vector<std::vector<double>> back(kVectors);
    for (std::size_t v = 0; v < kVectors; ++v) {
      codes[v] = q.quantize(random_vector(96, static_cast<unsigned>(v)));
      back[v] = q.dequantize(codes[v]);
    }
    std::vector<int> mismatches(kVectors * 8, 0);  // one slot per task: no shared writes
    parallel_for_each(mismatches.size(), 1, [&](std::size_t task) {
      const std::size_t v = task % kVectors;
      mismatches[task] += q.quantize(random_vector(96, static_cast<unsigned>(v))) != codes[v];
      mismatches[task] += q.dequantize(codes[v]) != back[v];
    });
    for (std::size_t t = 0; t < mismatches.size(); ++t) EXPECT_EQ(mismatches[t], 0) << t;
  }
}

// The dense rotation multiplies by R; shorter inputs use the leading columns.
TEST(MseQuantizer, DenseRotationUsesLeadingColumns) {
  const MseQuantizer q = MseQuantizer::new_dense(6, 2, 4);
  const std::vector<float> x = {0.5f, -1.0f, 2.0f};
  std::vector<float> out(6);
  q.apply_rotation(x, out);
  const std::vector<float>& r = *q.rotation_matrix;
  for (std::size_t i = 0; i < 6; ++i) {
    const float want = ((0.0f + r[i * 6] * x[0]) + r[i * 6 + 1] * x[1]) + r[i * 6 + 2] * x[2];
    EXPECT_EQ(out[i], want) << i;
  }
}

}  // namespace
}  // namespace velq
