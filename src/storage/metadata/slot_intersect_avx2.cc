#include <immintrin.h>

#include <array>
#include <bit>

#include "storage/metadata/slot_intersect_kernels.h"

namespace velq::slot_kernels {
namespace {

using Slot = std::uint32_t;

// For each 8-bit lane mask, the indices of its set lanes first: the
// permutation that packs the matched slots of a block to its front.
constexpr auto kCompress = [] {
  std::array<std::array<std::uint32_t, 8>, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned n = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1u) table[mask][n++] = lane;
    }
  }
  return table;
}();

}  // namespace

// Compares eight slots of `a` with eight of `b` (all 8 rotations of the `b`
// block), packs the matches to the front and stores the whole block; then
// advances the block whose last slot is smaller (both when equal). Every
// match pairs slots that sit in the two current blocks at some step, because
// a block is left only once all slots of the other list that could equal one
// of its slots have been seen. The last partial blocks go to the portable merge.
std::size_t merge_intersect_avx2(const Slot* a, std::size_t na, const Slot* b, std::size_t nb,
                                 Slot* out) {
  std::size_t i = 0, j = 0, k = 0;
  const __m256i rotate = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 0);
  while (i + 8 <= na && j + 8 <= nb) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + j));
    __m256i hits = _mm256_cmpeq_epi32(va, vb);
    for (int r = 1; r < 8; ++r) {
      vb = _mm256_permutevar8x32_epi32(vb, rotate);
      hits = _mm256_or_si256(hits, _mm256_cmpeq_epi32(va, vb));
    }
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(hits)));
    const __m256i order =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompress[mask].data()));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                        _mm256_permutevar8x32_epi32(va, order));
    k += static_cast<std::size_t>(std::popcount(mask));
    const Slot a_last = a[i + 7];
    const Slot b_last = b[j + 7];
    i += a_last <= b_last ? 8 : 0;
    j += b_last <= a_last ? 8 : 0;
  }
  return k + merge_intersect_portable(a + i, na - i, b + j, nb - j, out + k);
}

const SlotMergeKernels& avx2_slot_merge_kernels() {
  static constexpr SlotMergeKernels kAvx2 = {
      .name = "avx2", .merge_intersect = merge_intersect_avx2};
  return kAvx2;
}

}  // namespace velq::slot_kernels
