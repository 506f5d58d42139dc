// Differing sign bits: exact counts on known patterns, and the AVX2 form
// agreeing with the portable one over lengths that hit every loop tail.
#include "index/sign_agreement.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "common/cpu_features.h"

namespace velq {
namespace {

using Kernel = std::size_t (*)(const std::uint8_t*, const std::uint8_t*, std::size_t);

std::vector<Kernel> kernels() {
  std::vector<Kernel> out = {sign_kernels::differing_bits_portable};
#if VELQ_X86
  if (has_avx2()) out.push_back(sign_kernels::differing_bits_avx2);
#endif
  return out;
}

TEST(SignAgreement, CountsEveryDifferingBitInEveryForm) {
  std::mt19937_64 rng(3);
  for (const Kernel kernel : kernels()) {
    for (std::size_t n = 0; n <= 100; ++n) {
      const std::vector<std::uint8_t> zeros(n, 0x00), ones(n, 0xFF);
      ASSERT_EQ(kernel(zeros.data(), ones.data(), n), 8 * n) << n;
      ASSERT_EQ(kernel(ones.data(), ones.data(), n), 0u) << n;
      std::vector<std::uint8_t> a(n), b(n);
      std::size_t want = 0;
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = static_cast<std::uint8_t>(rng());
        b[i] = static_cast<std::uint8_t>(rng());
        want += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(a[i] ^ b[i])));
      }
      ASSERT_EQ(kernel(a.data(), b.data(), n), want) << n;
    }
  }
}

TEST(SignAgreement, UsesTheShorterSpan) {
  const std::vector<std::uint8_t> a(40, 0xFF), b(33, 0x00);
  EXPECT_EQ(differing_bits(a, b), 8u * 33u);
  EXPECT_EQ(differing_bits({}, b), 0u);
}

}  // namespace
}  // namespace velq
