#include <immintrin.h>

#include <algorithm>

#include "common/panic.h"
#include "quantizer/sign_bits.h"

namespace velq {

void expand_signs_avx2(std::span<const std::uint8_t> bytes, std::span<float> out) {
  const std::size_t n = out.size();
  if (bytes.size() < (n + 7) / 8) panic("QJL sign bytes too short for the sketch length");
  const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const __m256i minus_one = _mm256_set1_epi32(static_cast<int>(0xBF800000u));
  const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  std::size_t byte = 0;
  for (; 8 * byte + 8 <= n; ++byte) {
    const __m256i b = _mm256_set1_epi32(bytes[byte]);
    const __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(b, lane_bit), lane_bit);
    // -1.0f with its sign bit cleared in the lanes whose bit is set.
    const __m256i value = _mm256_xor_si256(minus_one, _mm256_and_si256(set, sign));
    _mm256_storeu_ps(out.data() + 8 * byte, _mm256_castsi256_ps(value));
  }
  if (8 * byte < n) expand_signs_portable(bytes.subspan(byte), out.subspan(8 * byte));
}

void pack_nonnegative_avx2(std::span<const float> values, float factor,
                           std::span<std::uint8_t> out) {
  const std::size_t n = values.size();
  if (out.size() < (n + 7) / 8) panic("sign bytes too short for the sketch length");
  const __m256 scale = _mm256_set1_ps(factor);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t byte = 0;
  for (; 8 * byte + 8 <= n; ++byte) {
    const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(values.data() + 8 * byte), scale);
    // Ordered >=: false for NaN, true for both zeros.
    out[byte] = static_cast<std::uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ)));
  }
  pack_nonnegative_portable(values.subspan(8 * byte), factor, out.subspan(byte));
}

const SignBitKernels& avx2_sign_bit_kernels() {
  static constexpr SignBitKernels kAvx2 = {
      .name = "avx2", .expand_signs = expand_signs_avx2, .pack_nonnegative = pack_nonnegative_avx2};
  return kAvx2;
}

}  // namespace velq
