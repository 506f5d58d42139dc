#include "linalg/hadamard.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/cpu_features.h"
#include "common/panic.h"
#include "common/thread_scratch.h"

namespace velq::linalg {

namespace {

struct InverseTag;

void require_signs(std::span<const float> signs, std::size_t n) {
  if (signs.size() < n) panic("assertion failed: signs.len() >= n");
}

// 1/√n, rounded in f32 at each step.
float inverse_sqrt_f32(std::size_t n) { return 1.0f / std::sqrt(static_cast<float>(n)); }

void srht_with(const HadamardKernels& k, std::span<const float> x, std::span<const float> signs,
               std::span<float> out) {
  const std::size_t m = x.size();
  const std::size_t n = npow2(m);
  assert_eq(out.size(), n, "srht output length");
  require_signs(signs, n);
  for (std::size_t i = 0; i < m; ++i) out[i] = x[i] * signs[i];
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(m), out.end(), 0.0f);
  k.fwht(out);
  k.scale(out, inverse_sqrt_f32(n));
}

void inverse_srht_with(const HadamardKernels& k, std::span<const float> y,
                       std::span<const float> signs, std::span<float> out, std::size_t d) {
  const std::size_t n = npow2(d);
  assert_eq(y.size(), n, "inverse_srht input length");
  require_signs(signs, n);
  if (out.size() < d) panic("inverse_srht output shorter than the target dimension");

  // A thread allocates only when it first meets a larger transform.
  const std::span<float> work = thread_scratch<InverseTag>(n);
  std::copy(y.begin(), y.end(), work.begin());
  k.fwht(work);
  const float factor = inverse_sqrt_f32(n);
  for (std::size_t i = 0; i < d; ++i) out[i] = (work[i] * factor) * signs[i];
}

}  // namespace

std::size_t npow2(std::size_t x) {
  // std::bit_ceil is undefined when the result does not fit.
  if (x > (std::size_t{1} << 63)) panic("length too large for a power-of-two transform");
  return x <= 1 ? 1 : std::bit_ceil(x);
}

void fwht(std::span<float> v) { active_hadamard_kernels().fwht(v); }

void fwht_portable(std::span<float> v) {
  const std::size_t len = v.size();
  if (!std::has_single_bit(len)) panic("FWHT requires power-of-2 length");
  float* p = v.data();
  std::size_t h = 1;
  if (len >= 4) {
    // Stages 1 and 2 together on each group of four: the same sums and
    // differences as the loop below, without its short inner loops.
    for (std::size_t s = 0; s < len; s += 4) {
      const float b0 = p[s] + p[s + 1];
      const float b1 = p[s] - p[s + 1];
      const float b2 = p[s + 2] + p[s + 3];
      const float b3 = p[s + 2] - p[s + 3];
      p[s] = b0 + b2;
      p[s + 1] = b1 + b3;
      p[s + 2] = b0 - b2;
      p[s + 3] = b1 - b3;
    }
    h = 4;
  }
  for (; h < len; h *= 2) {
    for (std::size_t s = 0; s < len; s += 2 * h) {
      for (std::size_t j = s; j < s + h; ++j) {
        const float a = p[j];
        const float b = p[j + h];
        p[j] = a + b;
        p[j + h] = a - b;
      }
    }
  }
}

void scale_portable(std::span<float> v, float factor) {
  for (float& x : v) x *= factor;
}

const HadamardKernels& portable_hadamard_kernels() {
  static constexpr HadamardKernels kPortable = {
      .name = "portable", .fwht = fwht_portable, .scale = scale_portable};
  return kPortable;
}

const HadamardKernels& active_hadamard_kernels() {
  static const HadamardKernels& chosen =
      widest_kernels(portable_hadamard_kernels, VELQ_X86_KERNELS(avx2_hadamard_kernels));
  return chosen;
}

void srht(std::span<const float> x, std::span<const float> signs, std::span<float> out) {
  srht_with(active_hadamard_kernels(), x, signs, out);
}

void srht_portable(std::span<const float> x, std::span<const float> signs, std::span<float> out) {
  srht_with(portable_hadamard_kernels(), x, signs, out);
}

#if VELQ_X86
void srht_avx2(std::span<const float> x, std::span<const float> signs, std::span<float> out) {
  srht_with(avx2_hadamard_kernels(), x, signs, out);
}
#endif

void inverse_srht(std::span<const float> y, std::span<const float> signs, std::span<float> out,
                  std::size_t d) {
  inverse_srht_with(active_hadamard_kernels(), y, signs, out, d);
}

void inverse_srht_portable(std::span<const float> y, std::span<const float> signs,
                           std::span<float> out, std::size_t d) {
  inverse_srht_with(portable_hadamard_kernels(), y, signs, out, d);
}

#if VELQ_X86
void inverse_srht_avx2(std::span<const float> y, std::span<const float> signs,
                       std::span<float> out, std::size_t d) {
  inverse_srht_with(avx2_hadamard_kernels(), y, signs, out, d);
}
#endif

}  // namespace velq::linalg
