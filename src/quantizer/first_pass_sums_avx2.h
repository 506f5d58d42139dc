// Pieces of the vector first passes (first_pass_avx2.cc, first_pass_avx512.cc)
// that both use in 256-bit registers. Included only by files compiled with
// AVX2: its vector types never reach a portable translation unit.
//
// A block's table bytes are summed in 16-bit lanes two codes at a time: lane
// k of `mixed` gathers even-code bytes + 256 · odd-code bytes (mod 2^16) and
// lane k of `odd` the odd-code bytes alone, so even = mixed - 256 · odd. Both
// stay exact while at most 257 bytes of 255 are added per lane, so callers
// widen the lanes to 32 bits every kPairsPerWiden field pairs.
#pragma once

#include <immintrin.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "quantizer/first_pass.h"

namespace velq::first_pass {

inline constexpr std::size_t kPairsPerWiden = 128;

// When a block and the query's tables together overflow the first-level
// data cache, each block evicts the tables the next one needs and the
// hardware prefetcher falls behind the codes (n = 1024 ran at twice the time
// of a plain read of the same bytes); asking for the codes 8 KiB ahead hides
// the memory's latency. Where both fit, the hints only cost (about a fifth).
inline constexpr std::size_t kPrefetchAhead = 8192;

inline bool prefetch_codes(const BlockedShape& shape) {
  static const std::size_t l1_bytes = [] {
    const long bytes = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    return bytes > 0 ? static_cast<std::size_t>(bytes) : std::size_t{32} << 10;
  }();
  return shape.block_bytes() + first_pass_table_bytes(shape) > l1_bytes;
}

// The 32-bit sums of a block's 32 codes.
struct Totals {
  // Codes 0,2,..,14 | 16,..,30 and 1,3,..,15 | 17,..,31 as 32-bit lanes.
  __m256i even_lo = _mm256_setzero_si256(), even_hi = _mm256_setzero_si256();
  __m256i odd_lo = _mm256_setzero_si256(), odd_hi = _mm256_setzero_si256();

  void add(__m256i mixed, __m256i odd) {
    const __m256i even = _mm256_sub_epi16(mixed, _mm256_slli_epi16(odd, 8));
    // 16-bit lane k holds code 2k (even) or 2k+1 (odd); lanes 0-7 and 8-15.
    even_lo = _mm256_add_epi32(even_lo, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(even)));
    even_hi = _mm256_add_epi32(even_hi, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(even, 1)));
    odd_lo = _mm256_add_epi32(odd_lo, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(odd)));
    odd_hi = _mm256_add_epi32(odd_hi, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(odd, 1)));
  }

  void store(std::uint32_t* sums) const {
    alignas(32) std::uint32_t e[16], o[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(e), even_lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(e + 8), even_hi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(o), odd_lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(o + 8), odd_hi);
    for (std::size_t k = 0; k < 16; ++k) {
      sums[2 * k] = e[k];
      sums[2 * k + 1] = o[k];
    }
  }
};

}  // namespace velq::first_pass
