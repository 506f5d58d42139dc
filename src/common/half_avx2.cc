#include <immintrin.h>

#include "common/half.h"

namespace velq::half {

namespace {

void narrow_f16c(std::span<const float> in, std::uint8_t* out) {
  std::size_t i = 0;
  for (; i + 8 <= in.size(); i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in.data() + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), h);
  }
  if (i == in.size()) return;
  // The tail through a zero-padded block, so the last values take the same
  // instruction as the rest.
  alignas(32) float block[8] = {};
  alignas(16) std::uint8_t halves[16];
  const std::size_t rest = in.size() - i;
  for (std::size_t k = 0; k < rest; ++k) block[k] = in[i + k];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves),
                  _mm256_cvtps_ph(_mm256_load_ps(block), _MM_FROUND_TO_NEAREST_INT));
  for (std::size_t k = 0; k < 2 * rest; ++k) out[2 * i + k] = halves[k];
}

void widen_f16c(const std::uint8_t* in, std::span<float> out) {
  std::size_t i = 0;
  for (; i + 8 <= out.size(); i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
    _mm256_storeu_ps(out.data() + i, _mm256_cvtph_ps(h));
  }
  if (i == out.size()) return;
  alignas(16) std::uint8_t halves[16] = {};
  alignas(32) float block[8];
  const std::size_t rest = out.size() - i;
  for (std::size_t k = 0; k < 2 * rest; ++k) halves[k] = in[2 * i + k];
  _mm256_store_ps(block, _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(halves))));
  for (std::size_t k = 0; k < rest; ++k) out[i + k] = block[k];
}

}  // namespace

const HalfKernels& avx2_half_kernels() {
  static constexpr HalfKernels kAvx2 = {.name = "avx2", .narrow = narrow_f16c, .widen = widen_f16c};
  return kAvx2;
}

}  // namespace velq::half
