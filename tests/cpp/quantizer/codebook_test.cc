#include "quantizer/codebook.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velq {
namespace {

TEST(LloydMax, DegenerateDimensionKeepsInitialSpacing) {
  const std::vector<double> want = {-0.7425, -0.2475, 0.2475, 0.7425};
  for (std::uint64_t dim : {0u, 1u}) {
    const std::vector<double> c = lloyd_max(2, dim);
    ASSERT_EQ(c.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(c[i], want[i], 1e-15) << "dim " << dim;
  }
}

TEST(LloydMax, ZeroBitsGivesTheMean) {
  const std::vector<double> c = lloyd_max(0, 128);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_NEAR(c[0], 0.0, 1e-12);
}

// In R^3 one coordinate of a uniform unit vector is uniform on (-1, 1).
TEST(LloydMax, UniformDensityInThreeDimensions) {
  const std::vector<double> c = lloyd_max(1, 3);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_NEAR(c[0], -0.5, 1e-4);
  EXPECT_NEAR(c[1], 0.5, 1e-4);
  const std::vector<double> c2 = lloyd_max(2, 3);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(c2[i], -0.75 + 0.5 * double(i), 1e-4);
}

TEST(LloydMax, AscendingAndSymmetric) {
  for (unsigned bits : {1u, 2u, 3u, 4u, 6u}) {
    for (std::uint64_t dim : {2u, 16u, 128u, 512u, 1536u}) {
      const std::vector<double> c = lloyd_max(bits, dim);
      ASSERT_EQ(c.size(), std::size_t{1} << bits);
      for (std::size_t i = 0; i + 1 < c.size(); ++i) EXPECT_LT(c[i], c[i + 1]);
      for (std::size_t i = 0; i < c.size(); ++i) {
        EXPECT_NEAR(c[i], -c[c.size() - 1 - i], 1e-9) << "bits " << bits << " dim " << dim;
      }
    }
  }
}

// A unit vector's coordinates have variance 1/dim; the optimal one-bit levels
// of that (nearly Gaussian) density sit at ±sqrt(2/π)/sqrt(dim).
TEST(LloydMax, OneBitLevelsMatchGaussianLimit) {
  const double dim = 1024.0;
  const std::vector<double> c = lloyd_max(1, 1024);
  EXPECT_NEAR(c[1], std::sqrt(2.0 / M_PI) / std::sqrt(dim), 2e-4);
}

TEST(LogGamma, AgreesWithLibrary) {
  for (double x : {0.5, 1.0, 1.5, 2.0, 3.7, 10.0, 63.5, 256.0, 2048.0, 1e5}) {
    EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-10 * std::max(1.0, std::fabs(std::lgamma(x))))
        << x;
  }
  // Reflection branch, where Γ is positive.
  for (double x : {0.25, 0.1, -1.5, -3.25}) {
    EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-9) << x;
  }
}

}  // namespace
}  // namespace velq
