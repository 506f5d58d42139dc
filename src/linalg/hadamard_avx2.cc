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

// kStages consecutive stages on 2^kStages registers, where register m holds
// the elements at offset m·h: stage t pairs registers m and m + 2^t.
template <int kStages>
inline void register_stages(__m256* v) {
  for (int t = 0; t < kStages; ++t) {
    const int span = 1 << t;
    for (int m = 0; m < (1 << kStages); ++m) {
      if ((m & span) != 0) continue;
      const __m256 a = v[m];
      const __m256 b = v[m + span];
      v[m] = _mm256_add_ps(a, b);
      v[m + span] = _mm256_sub_ps(a, b);
    }
  }
}

// Stages h, 2h, ... (kStages of them, h a multiple of 8) in one pass over
// memory. With kFirst (h = 8) each register first runs stages 1, 2 and 4,
// so the first pass covers three more stages.
template <int kStages, bool kFirst>
void pass(float* p, std::size_t len, std::size_t h) {
  constexpr int kRegs = 1 << kStages;
  for (std::size_t s = 0; s < len; s += h * kRegs) {
    for (std::size_t j = s; j < s + h; j += 8) {
      __m256 v[kRegs];
      for (int m = 0; m < kRegs; ++m) {
        v[m] = _mm256_loadu_ps(p + j + static_cast<std::size_t>(m) * h);
        if constexpr (kFirst) v[m] = butterfly_in_register(v[m]);
      }
      register_stages<kStages>(v);
      for (int m = 0; m < kRegs; ++m) {
        _mm256_storeu_ps(p + j + static_cast<std::size_t>(m) * h, v[m]);
      }
    }
  }
}

}  // namespace

void fwht_avx2(std::span<float> v) {
  const std::size_t len = v.size();
  if (len < 16) {
    fwht_portable(v);  // also raises the length panic
    return;
  }
  if ((len & (len - 1)) != 0) panic("FWHT requires power-of-2 length");
  float* p = v.data();
  // Stages 1-4 live in registers; the rest go three per pass.
  std::size_t h = 8;
  if (len == 16) {
    pass<1, true>(p, len, h);
    return;
  }
  if (len == 32) {
    pass<2, true>(p, len, h);
    return;
  }
  pass<3, true>(p, len, h);
  for (h = 64; h * 8 <= len; h *= 8) pass<3, false>(p, len, h);
  if (h * 4 == len) pass<2, false>(p, len, h);
  if (h * 2 == len) pass<1, false>(p, len, h);
}

void scale_avx2(std::span<float> v, float factor) {
  const __m256 f = _mm256_set1_ps(factor);
  float* p = v.data();
  const std::size_t len = v.size();
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) _mm256_storeu_ps(p + i, _mm256_mul_ps(_mm256_loadu_ps(p + i), f));
  for (; i < len; ++i) p[i] *= factor;
}

const HadamardKernels& avx2_hadamard_kernels() {
  static constexpr HadamardKernels kAvx2 = {.name = "avx2", .fwht = fwht_avx2, .scale = scale_avx2};
  return kAvx2;
}

}  // namespace velq::linalg
