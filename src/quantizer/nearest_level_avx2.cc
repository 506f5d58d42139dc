// Eight coordinates at a time for codebooks of up to 16 levels: count the
// levels below each value with vector compares, fetch the two neighbouring
// levels with lane permutes, and compare the same two distances as the
// portable form.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "common/panic.h"
#include "quantizer/nearest_level.h"

namespace velq {

void nearest_levels_avx2(std::span<const float> levels, std::span<const float> values,
                         std::span<std::uint16_t> out) {
  const std::size_t k = levels.size();
  if (k == 0 || k > kSmallCodebook) {
    nearest_levels_portable(levels, values, out);
    return;
  }
  assert_eq(out.size(), values.size(), "nearest level output length");

  // Two 8-lane tables; padding entries are never selected because indices
  // are clamped to k-1 below.
  alignas(32) float table[16];
  std::fill(std::begin(table), std::end(table), std::numeric_limits<float>::infinity());
  std::copy(levels.begin(), levels.end(), table);
  const __m256 table_lo = _mm256_load_ps(table);
  const __m256 table_hi = _mm256_load_ps(table + 8);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i last = _mm256_set1_epi32(static_cast<int>(k - 1));
  const __m256i seven = _mm256_set1_epi32(7);
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));

  auto lookup = [&](__m256i idx) {
    const __m256 lo = _mm256_permutevar8x32_ps(table_lo, idx);
    const __m256 hi = _mm256_permutevar8x32_ps(table_hi, idx);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_cmpgt_epi32(idx, seven)));
  };

  const std::size_t len = values.size();
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const __m256 y = _mm256_loadu_ps(values.data() + i);
    __m256i below = zero;  // levels strictly below y (a true compare is -1)
    for (std::size_t j = 0; j < k; ++j) {
      const __m256 lt = _mm256_cmp_ps(_mm256_broadcast_ss(table + j), y, _CMP_LT_OQ);
      below = _mm256_sub_epi32(below, _mm256_castps_si256(lt));
    }
    // Neighbours p-1 and p, clamped into the codebook. At p = 0 or p = k both
    // are the same level, the distances tie, and the result below is 0 or
    // k-1; a NaN never ties and also ends at 0.
    const __m256i lower_idx = _mm256_max_epi32(_mm256_sub_epi32(below, one), zero);
    const __m256i upper_idx = _mm256_min_epi32(below, last);
    const __m256 lower_dist = _mm256_and_ps(_mm256_sub_ps(lookup(lower_idx), y), abs_mask);
    const __m256 upper_dist = _mm256_and_ps(_mm256_sub_ps(lookup(upper_idx), y), abs_mask);
    const __m256i take_lower =
        _mm256_castps_si256(_mm256_cmp_ps(lower_dist, upper_dist, _CMP_LE_OQ));
    const __m256i index = _mm256_max_epi32(_mm256_add_epi32(below, take_lower), zero);
    const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(index),
                                            _mm256_extracti128_si256(index, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + i), packed);
  }
  if (i < len) nearest_levels_portable(levels, values.subspan(i), out.subspan(i));
}

const NearestLevelKernels& avx2_nearest_level_kernels() {
  static constexpr NearestLevelKernels kAvx2 = {
      .name = "avx2", .nearest_levels = nearest_levels_avx2};
  return kAvx2;
}

}  // namespace velq
