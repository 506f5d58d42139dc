// AVX-512 unpacking: 32 indices of 1..7 bits per step from their 4·bits
// bytes. vpermb gives 16-bit lane j the two bytes from byte ⌊j·bits/8⌋ (an
// index starts at most 7 bits into its first byte, so two bytes hold it), a
// variable shift and a mask finish it. The loads and the last step's stores
// are masked to the bytes and indices that exist, so no tail needs the
// scalar rule; results are identical to unpack_scalar.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the intrinsics' placeholder for unused lanes for an
// uninitialised read once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <array>

#include "quantizer/packing.h"

namespace velq::packing {

namespace {

constexpr std::size_t kStep = 32;

// The byte picks and shifts of each width, computed at compile time.
struct alignas(64) Layout {
  std::uint8_t pick[64] = {};
  std::uint16_t shift[kStep] = {};
};

constexpr std::array<Layout, 8> layouts() {
  std::array<Layout, 8> all{};
  for (unsigned bits = 1; bits < 8; ++bits) {
    for (unsigned j = 0; j < kStep; ++j) {
      all[bits].pick[2 * j] = static_cast<std::uint8_t>(j * bits / 8);
      all[bits].pick[2 * j + 1] = static_cast<std::uint8_t>(j * bits / 8 + 1);
      all[bits].shift[j] = static_cast<std::uint16_t>(j * bits % 8);
    }
  }
  return all;
}

constexpr std::array<Layout, 8> kLayouts = layouts();

void unpack_avx512(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
                   std::size_t n, unsigned bits) {
  const std::size_t count = std::min(n, out.size());
  // Other widths, and input too short (a panic), take the scalar rule.
  if (bits == 0 || bits >= 8 || bytes.size() < packed_len(count, bits)) {
    unpack_scalar(bytes, out, n, bits);
    return;
  }
  const __m512i picks = _mm512_load_si512(kLayouts[bits].pick);
  const __m512i shifts = _mm512_load_si512(kLayouts[bits].shift);
  const __m512i mask = _mm512_set1_epi16(static_cast<short>((1u << bits) - 1));
  const auto decode = [&](__m256i group) {
    const __m512i pairs = _mm512_permutexvar_epi8(picks, _mm512_zextsi256_si512(group));
    return _mm512_and_si512(_mm512_srlv_epi16(pairs, shifts), mask);
  };
  // A step's 32 indices take 4·bits whole bytes.
  const __mmask32 whole = static_cast<__mmask32>((std::uint64_t{1} << (4 * bits)) - 1);
  std::size_t i = 0;
  for (; i + kStep <= count; i += kStep) {
    const __m256i group = _mm256_maskz_loadu_epi8(whole, bytes.data() + i * bits / 8);
    _mm512_storeu_si512(out.data() + i, decode(group));
  }
  if (i < count) {
    const std::size_t rest = count - i;
    const auto used = static_cast<__mmask32>((std::uint64_t{1} << packed_len(rest, bits)) - 1);
    const __m256i group = _mm256_maskz_loadu_epi8(used, bytes.data() + i * bits / 8);
    _mm512_mask_storeu_epi16(out.data() + i, static_cast<__mmask32>((std::uint64_t{1} << rest) - 1),
                             decode(group));
  }
}

}  // namespace

const UnpackKernels& avx512_unpack_kernels() {
  static constexpr UnpackKernels kAvx512 = {.name = "avx512", .unpack = unpack_avx512};
  return kAvx512;
}

}  // namespace velq::packing
