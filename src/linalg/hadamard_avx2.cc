// AVX2 forms of the transform and the scaling. Every butterfly adds and
// subtracts the same pair of elements as the portable loop, in the same stage
// order, so the results are bit-identical; only the grouping into registers
// and passes over memory differs.
#include <immintrin.h>

#include "common/panic.h"
#include "linalg/hadamard.h"

namespace velq::linalg {

namespace {

// Stages h = 1, 2, 4 inside one 8-lane register. For each stage the partner
// lanes are swapped in; the lower lane of every pair keeps self + partner and
// the upper lane partner - self, which is lower - upper as in the portable loop.
inline __m256 butterfly_in_register(__m256 v) {
  __m256 sw = _mm256_permute_ps(v, 0b10110001);  // h = 1
  v = _mm256_blend_ps(_mm256_add_ps(v, sw), _mm256_sub_ps(sw, v), 0b10101010);
  sw = _mm256_permute_ps(v, 0b01001110);  // h = 2
  v = _mm256_blend_ps(_mm256_add_ps(v, sw), _mm256_sub_ps(sw, v), 0b11001100);
  sw = _mm256_permute2f128_ps(v, v, 0x01);  // h = 4
  return _mm256_blend_ps(_mm256_add_ps(v, sw), _mm256_sub_ps(sw, v), 0b11110000);
}

// One stage of span h (h a multiple of 8).
void radix2_pass(float* p, std::size_t len, std::size_t h) {
  for (std::size_t s = 0; s < len; s += 2 * h) {
    for (std::size_t j = s; j < s + h; j += 8) {
      const __m256 a = _mm256_loadu_ps(p + j);
      const __m256 b = _mm256_loadu_ps(p + j + h);
      _mm256_storeu_ps(p + j, _mm256_add_ps(a, b));
      _mm256_storeu_ps(p + j + h, _mm256_sub_ps(a, b));
    }
  }
}

// Stages h and 2h in one pass over memory (h a multiple of 8).
void radix4_pass(float* p, std::size_t len, std::size_t h) {
  for (std::size_t s = 0; s < len; s += 4 * h) {
    for (std::size_t j = s; j < s + h; j += 8) {
      const __m256 a = _mm256_loadu_ps(p + j);
      const __m256 b = _mm256_loadu_ps(p + j + h);
      const __m256 c = _mm256_loadu_ps(p + j + 2 * h);
      const __m256 d = _mm256_loadu_ps(p + j + 3 * h);
      const __m256 ab_sum = _mm256_add_ps(a, b);
      const __m256 ab_diff = _mm256_sub_ps(a, b);
      const __m256 cd_sum = _mm256_add_ps(c, d);
      const __m256 cd_diff = _mm256_sub_ps(c, d);
      _mm256_storeu_ps(p + j, _mm256_add_ps(ab_sum, cd_sum));
      _mm256_storeu_ps(p + j + h, _mm256_add_ps(ab_diff, cd_diff));
      _mm256_storeu_ps(p + j + 2 * h, _mm256_sub_ps(ab_sum, cd_sum));
      _mm256_storeu_ps(p + j + 3 * h, _mm256_sub_ps(ab_diff, cd_diff));
    }
  }
}

}  // namespace

void fwht_avx2(std::span<float> v) {
  const std::size_t len = v.size();
  if (len < 8) {
    fwht_portable(v);  // also raises the length panic
    return;
  }
  if ((len & (len - 1)) != 0) panic("FWHT requires power-of-2 length");
  float* p = v.data();
  for (std::size_t j = 0; j < len; j += 8) {
    _mm256_storeu_ps(p + j, butterfly_in_register(_mm256_loadu_ps(p + j)));
  }
  std::size_t h = 8;
  for (; 4 * h <= len; h *= 4) radix4_pass(p, len, h);
  if (h < len) radix2_pass(p, len, h);
}

void scale_avx2(std::span<float> v, float factor) {
  const __m256 f = _mm256_set1_ps(factor);
  float* p = v.data();
  const std::size_t len = v.size();
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) _mm256_storeu_ps(p + i, _mm256_mul_ps(_mm256_loadu_ps(p + i), f));
  for (; i < len; ++i) p[i] *= factor;
}

}  // namespace velq::linalg
