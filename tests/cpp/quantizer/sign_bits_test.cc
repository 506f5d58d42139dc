#include "quantizer/sign_bits.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/cpu_features.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

using Kernel = void (*)(std::span<const std::uint8_t>, std::span<float>);

std::vector<Kernel> kernels() {
  std::vector<Kernel> out = {expand_signs_portable};
  if (has_avx2()) out.push_back(expand_signs_avx2);
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
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::vector<std::uint8_t> bytes(130);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 73 + 19);
  for (std::size_t n = 0; n <= 8 * bytes.size(); n += (n < 40 ? 1 : 37)) {
    std::vector<float> a(n), b(n);
    expand_signs_portable(bytes, a);
    expand_signs_avx2(bytes, b);
    EXPECT_EQ(a, b) << n;
  }
}

TEST(SignBits, ShortBytesPanic) {
  const std::vector<std::uint8_t> bytes(2);
  for (Kernel kernel : kernels()) {
    std::vector<float> out(17);
    EXPECT_NE(testing::panic_message([&] { kernel(bytes, out); }), "no panic");
  }
}

}  // namespace
}  // namespace velq
