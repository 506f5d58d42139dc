// AVX-512 form of the L2 block bounds: eight codes per step, each operation
// the portable form's, in its order, so the bounds agree to the bit.
// GCC 12 takes the intrinsics' placeholder for unused lanes for an
// uninitialised read once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <limits>

#include "quantizer/l2_bound.h"

namespace velq::l2_bound {

namespace {

double block_bounds(const L2BoundTerms& t, const double* u, const float* gammas,
                    const float* norms, const double* squared, double* bounds) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const __m512d inf = _mm512_set1_pd(kInfinity);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d two = _mm512_set1_pd(2.0);
  const __m512d up = _mm512_set1_pd(kMarginUp);
  const __m512d down = _mm512_set1_pd(kRootDown);
  const __m512d tiny = _mm512_set1_pd(kArgumentSlack);
  const __m512d query_sq = _mm512_set1_pd(t.query_sq_low);
  const __m512d fixed = _mm512_set1_pd(t.fixed_margin);
  const __m512d per_gamma = _mm512_set1_pd(t.margin_per_gamma);
  // An unusable query keeps no lane.
  const __mmask8 usable = t.usable ? 0xFF : 0;
  __m512d top = _mm512_set1_pd(-kInfinity);
  for (std::size_t c = 0; c < BlockedShape::kCodes; c += 8) {
    const __m512d ub = _mm512_loadu_pd(u + c);
    const __m512d gamma = _mm512_cvtps_pd(_mm256_loadu_ps(gammas + c));
    const __m512d nu = _mm512_cvtps_pd(_mm256_loadu_ps(norms + c));
    const __m512d sq = _mm512_loadu_pd(squared + c);
    __mmask8 valid = _mm512_mask_cmp_pd_mask(usable, gamma, zero, _CMP_GE_OQ);
    valid = _mm512_mask_cmp_pd_mask(valid, nu, zero, _CMP_GE_OQ);
    valid = _mm512_mask_cmp_pd_mask(valid, nu, inf, _CMP_LT_OQ);
    valid = _mm512_mask_cmp_pd_mask(valid, sq, zero, _CMP_GE_OQ);
    valid = _mm512_mask_cmp_pd_mask(valid, sq, inf, _CMP_LT_OQ);
    valid = _mm512_mask_cmp_pd_mask(valid, ub, inf, _CMP_LT_OQ);
    const __m512d margin = _mm512_mul_pd(_mm512_add_pd(fixed, _mm512_mul_pd(gamma, per_gamma)), up);
    const __m512d ip_high = _mm512_add_pd(ub, margin);
    const __m512d two_nu = _mm512_mul_pd(two, nu);
    const __m512d square = _mm512_mul_pd(_mm512_mul_pd(nu, nu), sq);
    const __m512d magnitude =
        _mm512_add_pd(_mm512_add_pd(query_sq, _mm512_mul_pd(two_nu, _mm512_abs_pd(ip_high))), square);
    const __m512d dist_sq = _mm512_sub_pd(
        _mm512_add_pd(_mm512_sub_pd(query_sq, _mm512_mul_pd(two_nu, ip_high)), square),
        _mm512_mul_pd(tiny, magnitude));
    const __mmask8 positive = _mm512_cmp_pd_mask(dist_sq, zero, _CMP_GT_OQ);
    // Lanes at or below 0 (or NaN) take 0 without a root.
    const __m512d root = _mm512_maskz_sqrt_pd(positive, dist_sq);
    const __m512d score = _mm512_maskz_sub_pd(positive, zero, _mm512_mul_pd(root, down));
    const __m512d b = _mm512_mask_blend_pd(valid, inf, score);
    _mm512_storeu_pd(bounds + c, b);
    top = _mm512_max_pd(top, b);
  }
  return _mm512_reduce_max_pd(top);
}

}  // namespace

const L2BoundKernels& avx512_l2_bound_kernels() {
  static constexpr L2BoundKernels kAvx512 = {.name = "avx512", .block_bounds = block_bounds};
  return kAvx512;
}

}  // namespace velq::l2_bound
