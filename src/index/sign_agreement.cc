#include "index/sign_agreement.h"

#include <algorithm>
#include <cstring>

#include "common/cpu_features.h"

namespace velq {

namespace sign_kernels {

namespace {

// Set bits of x by summing neighbouring fields of growing width.
std::size_t bit_count(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

std::size_t differing_bits_portable(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    count += bit_count(x ^ y);
  }
  if (i < n) {  // the last bytes, zero-padded to a word
    std::uint64_t x = 0, y = 0;
    std::memcpy(&x, a + i, n - i);
    std::memcpy(&y, b + i, n - i);
    count += bit_count(x ^ y);
  }
  return count;
}

const SignAgreementKernels& portable_sign_agreement_kernels() {
  static constexpr SignAgreementKernels kPortable = {.name = "portable",
                                                     .differing_bits = differing_bits_portable};
  return kPortable;
}

const SignAgreementKernels& active_sign_agreement_kernels() {
  static const SignAgreementKernels& chosen =
      widest_kernels(portable_sign_agreement_kernels,
                     VELQ_X86_KERNELS(avx2_sign_agreement_kernels));
  return chosen;
}

}  // namespace sign_kernels

std::size_t differing_bits(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return sign_kernels::active_sign_agreement_kernels().differing_bits(
      a.data(), b.data(), std::min(a.size(), b.size()));
}

}  // namespace velq
