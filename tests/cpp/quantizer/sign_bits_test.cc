#include "quantizer/sign_bits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/cpu_features.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

using Kernel = void (*)(std::span<const std::uint8_t>, std::span<float>);

std::vector<Kernel> kernels() {
  std::vector<Kernel> out = {expand_signs_portable};
#if VELQ_X86
  if (has_avx2()) out.push_back(expand_signs_avx2);
#endif
  return out;
}

TEST(SignBits, LeastSignificantBitFirst) {
  const std::vector<std::uint8_t> bytes = {0b00000101, 0b10000000};
  for (Kernel kernel : kernels()) {
    std::vector<float> out(16);
    kernel(bytes, out);
    EXPECT_EQ(out, (std::vector<float>{1, -1, 1, -1, -1, -1, -1, -1,  //
                                       -1, -1, -1, -1, -1, -1, -1, 1}));
    std::vector<float> partial(3);  // only the first signs of the last byte
    kernel(std::span(bytes).first(1), partial);
    EXPECT_EQ(partial, (std::vector<float>{1, -1, 1}));
  }
}

TEST(SignBits, Avx2MatchesPortable) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::vector<std::uint8_t> bytes(130);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 73 + 19);
  for (std::size_t n = 0; n <= 8 * bytes.size(); n += (n < 40 ? 1 : 37)) {
    std::vector<float> a(n), b(n);
    expand_signs_portable(bytes, a);
    expand_signs_avx2(bytes, b);
    EXPECT_EQ(a, b) << n;
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

// Packing projected values: both zeros set the bit, NaN and products that
// round to a negative number clear it, bytes past the values are cleared;
// every length hits the vector form's tail.
TEST(SignBits, PackNonnegativeMatchesTheRule) {
  using Pack = void (*)(std::span<const float>, float, std::span<std::uint8_t>);
  std::vector<Pack> packs = {pack_nonnegative_portable};
#if VELQ_X86
  if (has_avx2()) packs.push_back(pack_nonnegative_avx2);
#endif
  const std::vector<float> special = {0.0f, -0.0f, std::nanf(""), -1e-45f, 1e-45f, -3.0f, 2.5f,
                                      INFINITY, -INFINITY};
  for (const std::size_t n : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u}) {
    std::vector<float> values = testing::random_vector(n, static_cast<unsigned>(n) + 3);
    for (std::size_t i = 0; i < n; i += 3) values[i] = special[(i / 3) % special.size()];
    for (const float factor : {1.0f, 0.05f, 1e-30f}) {
      std::vector<std::uint8_t> want((n + 7) / 8 + 1, 0);
      for (std::size_t i = 0; i < n; ++i) {
        const float p = values[i] * factor;
        const bool set = p == 0.0f || (!std::isnan(p) && !std::signbit(p));
        if (set) want[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
      }
      for (Pack pack : packs) {
        std::vector<std::uint8_t> out(want.size(), 0xFF);
        pack(values, factor, out);
        EXPECT_EQ(out, want) << n << " " << factor;
      }
    }
  }
}

TEST(SignBits, ShortBytesPanic) {
  const std::vector<std::uint8_t> bytes(2);
  for (Kernel kernel : kernels()) {
    std::vector<float> out(17);
    EXPECT_NE(testing::panic_message([&] { kernel(bytes, out); }), "no panic");
  }
  const std::vector<float> values(17);
  std::vector<std::uint8_t> short_out(2);
  EXPECT_NE(testing::panic_message([&] { pack_nonnegative_portable(values, 1.0f, short_out); }), "no panic");
#if VELQ_X86
  if (has_avx2()) {
    EXPECT_NE(testing::panic_message([&] { pack_nonnegative_avx2(values, 1.0f, short_out); }), "no panic");
  }
#endif
}

}  // namespace
}  // namespace velq
