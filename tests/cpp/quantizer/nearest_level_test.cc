#include "quantizer/nearest_level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "quantizer/codebook.h"

namespace velq {
namespace {

using Kernel = void (*)(std::span<const float>, std::span<const float>, std::span<std::uint16_t>);

std::vector<Kernel> kernels() {
  std::vector<Kernel> out = {nearest_levels_portable};
#if VELQ_X86
  if (has_avx2()) out.push_back(nearest_levels_avx2);
#endif
  return out;
}

std::vector<std::uint16_t> run(Kernel kernel, const std::vector<float>& levels,
                               const std::vector<float>& values) {
  std::vector<std::uint16_t> out(values.size());
  kernel(levels, values, out);
  return out;
}

TEST(NearestLevel, Rules) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> levels = {-0.5f, 0.25f, 0.75f, 1.0f};
  // Enough values to fill a vector block and leave a tail.
  const std::vector<float> values = {0.5f,  0.51f, -0.125f, -3.0f, 7.0f,  0.75f,
                                     nan,   inf,   -inf,    0.0f,  0.875f};
  const std::vector<std::uint16_t> want = {1, 2, 0, 0, 3, 2, 0, 3, 0, 1, 2};
  for (Kernel kernel : kernels()) {
    EXPECT_EQ(run(kernel, levels, values), want);
    EXPECT_EQ(run(kernel, {0.3f}, values), std::vector<std::uint16_t>(values.size(), 0));
  }
}

// Values on the levels, on the midpoints and one float either side of them,
// and random ones, for every small codebook size and a large one.
TEST(NearestLevel, Avx2MatchesPortable) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 gen(3);
  std::normal_distribution<float> normal(0.0f, 0.1f);
  for (unsigned bits = 0; bits <= 6; ++bits) {
    std::vector<float> levels;
    for (double c : lloyd_max(bits, 256)) levels.push_back(static_cast<float>(c));
    std::vector<float> values;
    for (std::size_t j = 0; j < levels.size(); ++j) {
      values.push_back(levels[j]);
      if (j + 1 < levels.size()) {
        const float mid = (levels[j] + levels[j + 1]) * 0.5f;
        values.push_back(mid);
        values.push_back(std::nextafter(mid, -1.0f));
        values.push_back(std::nextafter(mid, 1.0f));
      }
    }
    for (int r = 0; r < 301; ++r) values.push_back(normal(gen));
    values.push_back(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(run(nearest_levels_portable, levels, values),
              run(nearest_levels_avx2, levels, values))
        << "bits " << bits;
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

}  // namespace
}  // namespace velq
