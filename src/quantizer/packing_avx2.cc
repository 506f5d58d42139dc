// AVX2 unpacking. 4-bit codes take the nibble path (16 bytes -> 32 indices);
// other widths up to 8 bits decode 16 indices per step by per-lane shifts.
// Widths above 8 bits and every tail use the scalar rule, so results are
// identical to unpack_scalar.
#include <immintrin.h>

#include <algorithm>

#include "quantizer/packed_lanes_avx2.h"
#include "quantizer/packing.h"

namespace velq::packing {

namespace {

// Whole groups of 32 four-bit indices; returns how many indices were written.
std::size_t unpack_nibbles(std::span<const std::uint8_t> bytes, std::uint16_t* out,
                           std::size_t count) {
  const std::size_t groups = std::min(count / 32, bytes.size() / 16);
  const __m128i low4 = _mm_set1_epi8(0x0F);
  for (std::size_t g = 0; g < groups; ++g) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + 16 * g));
    const __m128i lo = _mm_and_si128(b, low4);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), low4);
    // Index 2m is the low nibble of byte m, index 2m+1 its high nibble.
    const __m128i first = _mm_unpacklo_epi8(lo, hi);
    const __m128i second = _mm_unpackhi_epi8(lo, hi);
    auto* dst = reinterpret_cast<__m256i*>(out + 32 * g);
    _mm256_storeu_si256(dst, _mm256_cvtepu8_epi16(first));
    _mm256_storeu_si256(dst + 1, _mm256_cvtepu8_epi16(second));
  }
  return groups * 32;
}

// Pairs of 8-index groups for widths 1..7; returns how many indices were written.
template <bool kSplit>
std::size_t unpack_lanes(const PackedLanes& lanes, std::span<const std::uint8_t> bytes,
                         std::uint16_t* out, std::size_t count, unsigned bits) {
  const std::size_t pairs = std::min(count / 16, lanes.safe_groups(bytes.size()) / 2);
  for (std::size_t p = 0; p < pairs; ++p) {
    const std::uint8_t* group = bytes.data() + 2 * p * bits;
    const __m256i a = lanes.load<kSplit>(group);
    const __m256i b = lanes.load<kSplit>(group + bits);
    // packus interleaves 128-bit halves: [a0-3 b0-3 | a4-7 b4-7] -> a, then b.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * p), packed);
  }
  return pairs * 16;
}

std::size_t unpack_lanes(std::span<const std::uint8_t> bytes, std::uint16_t* out,
                         std::size_t count, unsigned bits) {
  const PackedLanes lanes(bits);
  return lanes.split() ? unpack_lanes<true>(lanes, bytes, out, count, bits)
                       : unpack_lanes<false>(lanes, bytes, out, count, bits);
}

void unpack_avx2(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
                 std::size_t n, unsigned bits) {
  if (bits == 0 || bits >= 8) {
    unpack_scalar(bytes, out, n, bits);
    return;
  }
  const std::size_t count = std::min(n, out.size());
  const std::size_t done = bits == 4 ? unpack_nibbles(bytes, out.data(), count)
                                     : unpack_lanes(bytes, out.data(), count, bits);
  // The groups end on a byte boundary (32*4 and 16*bits bits are whole bytes).
  const std::size_t used = packed_len(done, bits);
  unpack_scalar(bytes.subspan(used), out.subspan(done), count - done, bits);
}

}  // namespace

const UnpackKernels& avx2_unpack_kernels() {
  static constexpr UnpackKernels kAvx2 = {.name = "avx2", .unpack = unpack_avx2};
  return kAvx2;
}

}  // namespace velq::packing
