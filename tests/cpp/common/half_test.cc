// Half-precision conversion: the portable and F16C forms agree bit for bit on
// every half and on floats chosen to hit each rounding case, and the portable
// form rounds as IEEE 754 says.
#include "common/half.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"

namespace velq::half {
namespace {

#if VELQ_X86
std::uint16_t narrow_one(const HalfKernels& k, float value) {
  std::uint8_t out[2];
  k.narrow(std::span(&value, 1), out);
  std::uint16_t h;
  std::memcpy(&h, out, 2);
  return h;
}
#endif

TEST(Half, KnownValues) {
  EXPECT_EQ(from_float(1.0f), 0x3C00);
  EXPECT_EQ(from_float(-2.0f), 0xC000);
  EXPECT_EQ(from_float(65504.0f), 0x7BFF);
  EXPECT_EQ(from_float(65519.99f), 0x7BFF);  // below the rounding boundary
  EXPECT_EQ(from_float(65520.0f), 0x7C00);   // ties away from the largest half: infinity
  EXPECT_EQ(from_float(1e10f), 0x7C00);
  EXPECT_EQ(from_float(-std::numeric_limits<float>::infinity()), 0xFC00);
  EXPECT_EQ(from_float(-0.0f), 0x8000);
  EXPECT_EQ(from_float(std::ldexp(1.0f, -24)), 0x0001);  // smallest subnormal
  EXPECT_EQ(from_float(std::ldexp(1.0f, -25)), 0x0000);  // tie to even: zero
  EXPECT_EQ(from_float(std::ldexp(3.0f, -25)), 0x0002);  // tie to even: two
  EXPECT_EQ(from_float(std::ldexp(1.0f, -14)), 0x0400);  // smallest normal
  // 1 + 2^-11 ties between 1 and 1 + 2^-10: stays at even 1.0.
  EXPECT_EQ(from_float(1.0f + std::ldexp(1.0f, -11)), 0x3C00);
  EXPECT_EQ(from_float(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);
}

TEST(Half, NanStaysQuietWithItsSign) {
  const float signalling = std::bit_cast<float>(0xFF800001u);
  const std::uint16_t h = from_float(signalling);
  EXPECT_EQ(h & 0xFC00, 0xFC00);
  EXPECT_NE(h & 0x0200, 0);  // quiet bit
  EXPECT_TRUE(std::isnan(to_float(h)));
  EXPECT_TRUE(std::signbit(to_float(h)));
}

TEST(Half, WidenIsExactAndRoundTrips) {
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const float f = to_float(static_cast<std::uint16_t>(h));
    if (std::isnan(f)) continue;
    ASSERT_EQ(from_float(f), h) << std::hex << h;
  }
}

TEST(Half, F16cAgreesWithPortableOnEveryHalf) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no F16C";
  std::vector<std::uint8_t> halves(2 * 0x10000);
  for (std::uint32_t h = 0; h < 0x10000; ++h) std::memcpy(&halves[2 * h], &h, 2);
  std::vector<float> portable(0x10000), f16c(0x10000);
  portable_half_kernels().widen(halves.data(), portable);
  avx2_half_kernels().widen(halves.data(), f16c);
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(portable[h]), std::bit_cast<std::uint32_t>(f16c[h]))
        << std::hex << h;
  }
  // And back: narrowing the widened values gives the same bits both ways.
  std::vector<std::uint8_t> a(halves.size()), b(halves.size());
  portable_half_kernels().narrow(portable, a.data());
  avx2_half_kernels().narrow(portable, b.data());
  EXPECT_EQ(a, b);
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

TEST(Half, F16cAgreesWithPortableOnFloats) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no F16C";
  std::vector<float> values;
  // Every half boundary and its neighbours: the ties and the values just off them.
  for (std::uint32_t h = 0; h < 0x7C00; ++h) {
    const std::uint32_t f = std::bit_cast<std::uint32_t>(to_float(static_cast<std::uint16_t>(h)));
    for (std::uint32_t delta : {0x0000u, 0x0FFFu, 0x1000u, 0x1001u}) {
      values.push_back(std::bit_cast<float>(f + delta));
      values.push_back(-std::bit_cast<float>(f + delta));
    }
  }
  std::mt19937 gen(7);
  for (int i = 0; i < 1'000'000; ++i) values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(gen())));
  // Lengths that leave every tail size.
  for (std::size_t tail = 0; tail < 8; ++tail) {
    const std::span<const float> in(values.data(), values.size() - tail);
    std::vector<std::uint8_t> a(2 * in.size()), b(2 * in.size());
    portable_half_kernels().narrow(in, a.data());
    avx2_half_kernels().narrow(in, b.data());
    ASSERT_EQ(a, b) << "tail " << tail;
  }
  for (float v : {65520.0f, 65519.0f, std::ldexp(1.0f, -25), std::ldexp(1.0f, -26)}) {
    EXPECT_EQ(narrow_one(portable_half_kernels(), v), narrow_one(avx2_half_kernels(), v));
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

}  // namespace
}  // namespace velq::half
