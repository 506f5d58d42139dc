// Compiled with -mavx2; reached only through differing_bits when the
// processor has AVX2.
#include <immintrin.h>

#include "index/sign_agreement.h"

namespace velq::sign_kernels {

std::size_t differing_bits_avx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  // Set bits of each nibble value, for both 128-bit halves of the shuffle.
  const __m256i nibble_bits = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                               0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_nibble = _mm256_set1_epi8(0x0F);
  __m256i sums = _mm256_setzero_si256();  // four u64 partial counts
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i x =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
    const __m256i low = _mm256_shuffle_epi8(nibble_bits, _mm256_and_si256(x, low_nibble));
    const __m256i high = _mm256_shuffle_epi8(
        nibble_bits, _mm256_and_si256(_mm256_srli_epi16(x, 4), low_nibble));
    // Per byte at most 8: the horizontal byte sums cannot overflow.
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_add_epi8(low, high),
                                                  _mm256_setzero_si256()));
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  const std::size_t head = static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
  return head + differing_bits_portable(a + i, b + i, n - i);
}

const SignAgreementKernels& avx2_sign_agreement_kernels() {
  static constexpr SignAgreementKernels kAvx2 = {
      .name = "avx2", .differing_bits = differing_bits_avx2};
  return kAvx2;
}

}  // namespace velq::sign_kernels
