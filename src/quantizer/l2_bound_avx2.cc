// AVX2 form of the L2 block bounds: four codes per step in doubles, each
// operation the portable form's, in its order, so the bounds agree to the bit.
#include <immintrin.h>

#include <limits>

#include "quantizer/l2_bound.h"

namespace velq::l2_bound {

namespace {

double block_bounds(const L2BoundTerms& t, const double* u, const float* gammas,
                    const float* norms, const double* squared, double* bounds) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const __m256d inf = _mm256_set1_pd(kInfinity);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d two = _mm256_set1_pd(2.0);
  const __m256d up = _mm256_set1_pd(kMarginUp);
  const __m256d down = _mm256_set1_pd(kRootDown);
  const __m256d tiny = _mm256_set1_pd(kArgumentSlack);
  const __m256d query_sq = _mm256_set1_pd(t.query_sq_low);
  const __m256d fixed = _mm256_set1_pd(t.fixed_margin);
  const __m256d per_gamma = _mm256_set1_pd(t.margin_per_gamma);
  // An unusable query keeps no lane.
  const __m256d usable = t.usable ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : zero;
  __m256d top = _mm256_set1_pd(-kInfinity);
  for (std::size_t c = 0; c < BlockedShape::kCodes; c += 4) {
    const __m256d ub = _mm256_loadu_pd(u + c);
    const __m256d gamma = _mm256_cvtps_pd(_mm_loadu_ps(gammas + c));
    const __m256d nu = _mm256_cvtps_pd(_mm_loadu_ps(norms + c));
    const __m256d sq = _mm256_loadu_pd(squared + c);
    __m256d valid = _mm256_and_pd(usable, _mm256_cmp_pd(gamma, zero, _CMP_GE_OQ));
    valid = _mm256_and_pd(valid, _mm256_cmp_pd(nu, zero, _CMP_GE_OQ));
    valid = _mm256_and_pd(valid, _mm256_cmp_pd(nu, inf, _CMP_LT_OQ));
    valid = _mm256_and_pd(valid, _mm256_cmp_pd(sq, zero, _CMP_GE_OQ));
    valid = _mm256_and_pd(valid, _mm256_cmp_pd(sq, inf, _CMP_LT_OQ));
    valid = _mm256_and_pd(valid, _mm256_cmp_pd(ub, inf, _CMP_LT_OQ));
    const __m256d margin = _mm256_mul_pd(_mm256_add_pd(fixed, _mm256_mul_pd(gamma, per_gamma)), up);
    const __m256d ip_high = _mm256_add_pd(ub, margin);
    const __m256d two_nu = _mm256_mul_pd(two, nu);
    const __m256d square = _mm256_mul_pd(_mm256_mul_pd(nu, nu), sq);
    const __m256d magnitude = _mm256_add_pd(
        _mm256_add_pd(query_sq, _mm256_mul_pd(two_nu, _mm256_andnot_pd(sign, ip_high))), square);
    const __m256d dist_sq = _mm256_sub_pd(
        _mm256_add_pd(_mm256_sub_pd(query_sq, _mm256_mul_pd(two_nu, ip_high)), square),
        _mm256_mul_pd(tiny, magnitude));
    const __m256d root = _mm256_sqrt_pd(_mm256_max_pd(dist_sq, zero));
    const __m256d score = _mm256_blendv_pd(
        zero, _mm256_xor_pd(sign, _mm256_mul_pd(root, down)), _mm256_cmp_pd(dist_sq, zero, _CMP_GT_OQ));
    const __m256d b = _mm256_blendv_pd(inf, score, valid);
    _mm256_storeu_pd(bounds + c, b);
    top = _mm256_max_pd(top, b);
  }
  __m128d m = _mm_max_pd(_mm256_castpd256_pd128(top), _mm256_extractf128_pd(top, 1));
  m = _mm_max_sd(m, _mm_unpackhi_pd(m, m));
  return _mm_cvtsd_f64(m);
}

}  // namespace

const L2BoundKernels& avx2_l2_bound_kernels() {
  static constexpr L2BoundKernels kAvx2 = {.name = "avx2", .block_bounds = block_bounds};
  return kAvx2;
}

}  // namespace velq::l2_bound
