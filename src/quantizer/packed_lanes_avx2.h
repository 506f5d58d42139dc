// Eight packed MSE indices of 1..8 bits into eight 32-bit lanes. Included only
// by *_avx2.cc files: its vector types never reach a portable translation unit.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velq::packing {

// Group g (indices 8g .. 8g+7) starts at byte g*bits, since 8 indices take
// exactly `bits` bytes. With bits <= 4 the group lies in one 4-byte word; with
// 5..8 bits lanes 0-3 come from the word at the group start and lanes 4-7 from
// the word at byte (4*bits)/8, each lane then shifted to its own bit offset
// (never past bit 31: 4 + 4*7 = 32 at most).
class PackedLanes {
 public:
  explicit PackedLanes(unsigned bits)
      : bits_(bits),
        split_(bits > 4),
        hi_byte_(split_ ? (4 * bits) / 8 : 0),
        reach_(hi_byte_ + 4),
        mask_(_mm256_set1_epi32(static_cast<int>((1u << bits) - 1))) {
    alignas(32) std::int32_t shift[8];
    const unsigned hi_shift = split_ ? (4 * bits) % 8 : 0;
    for (unsigned t = 0; t < 8; ++t) {
      shift[t] = static_cast<std::int32_t>(split_ && t >= 4 ? hi_shift + (t - 4) * bits : t * bits);
    }
    shift_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(shift));
  }

  // Number of leading groups whose loads stay inside `size` bytes.
  std::size_t safe_groups(std::size_t size) const {
    return size < reach_ ? 0 : (size - reach_) / bits_ + 1;
  }

  // True when lanes 4-7 need their own word (more than 4 bits).
  bool split() const { return split_; }

  // Indices 8g .. 8g+7, given the group's first byte. kSplit must equal
  // split(); it is a template argument so hot loops carry no branch.
  template <bool kSplit>
  __m256i load(const std::uint8_t* group) const {
    std::uint32_t lo;
    std::memcpy(&lo, group, sizeof lo);
    __m256i words = _mm256_set1_epi32(static_cast<int>(lo));
    if constexpr (kSplit) {
      std::uint32_t hi;
      std::memcpy(&hi, group + hi_byte_, sizeof hi);
      words = _mm256_blend_epi32(words, _mm256_set1_epi32(static_cast<int>(hi)), 0xF0);
    }
    return _mm256_and_si256(_mm256_srlv_epi32(words, shift_), mask_);
  }

 private:
  unsigned bits_;
  bool split_;
  std::size_t hi_byte_;
  std::size_t reach_;
  __m256i mask_;
  __m256i shift_;
};

}  // namespace velq::packing
