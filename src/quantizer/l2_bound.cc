#include "quantizer/l2_bound.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/cpu_features.h"

namespace velq {

namespace {

constexpr double kUnit = 0x1p-24;  // f32 unit roundoff
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Relative margin for the f64 arithmetic that forms the margins themselves.
constexpr double kUp = l2_bound::kMarginUp;

// γ(k) = k·unit / (1 - k·unit), rounded up.
double gamma_of(std::size_t terms, double unit) {
  const double ku = static_cast<double>(terms) * unit;
  return ku / (1.0 - ku) * kUp;
}

double abs_sum(std::span<const float> v) {
  double s = 0.0;
  for (const float x : v) s += std::fabs(static_cast<double>(x));
  return s * kUp;
}

double bound_of(const L2BoundTerms& t, double u, float gamma, float norm, double squared) {
  if (!t.usable || !(gamma >= 0.0f) || !(norm >= 0.0f) || !(norm < kInfinity) ||
      !(squared >= 0.0) || !(squared < kInfinity) || !(u < kInfinity)) {
    return kInfinity;
  }
  const double nu = norm;
  const double ip_high =
      u + (t.fixed_margin + static_cast<double>(gamma) * t.margin_per_gamma) * l2_bound::kMarginUp;
  const double magnitude = t.query_sq_low + 2.0 * nu * std::fabs(ip_high) + nu * nu * squared;
  const double dist_sq = t.query_sq_low - 2.0 * nu * ip_high + nu * nu * squared -
                         l2_bound::kArgumentSlack * magnitude;
  if (!(dist_sq > 0.0)) return 0.0;
  return -(std::sqrt(dist_sq) * l2_bound::kRootDown);
}

double portable_block_bounds(const L2BoundTerms& terms, const double* u, const float* gammas,
                             const float* norms, const double* squared, double* bounds) {
  double top = -kInfinity;
  for (std::size_t c = 0; c < BlockedShape::kCodes; ++c) {
    const double b = bound_of(terms, u[c], gammas[c], norms[c], squared[c]);
    bounds[c] = b;
    top = std::max(top, b);
  }
  return top;
}

}  // namespace

namespace l2_bound {

const L2BoundKernels& portable_l2_bound_kernels() {
  static constexpr L2BoundKernels kPortable = {.name = "portable",
                                               .block_bounds = portable_block_bounds};
  return kPortable;
}

const L2BoundKernels& active_l2_bound_kernels() {
  static const L2BoundKernels& chosen =
      widest_kernels(portable_l2_bound_kernels, VELQ_X86_KERNELS(avx2_l2_bound_kernels),
                     VELQ_X86_KERNELS(avx512_l2_bound_kernels));
  return chosen;
}

}  // namespace l2_bound

L2ScoreBound::L2ScoreBound(const ProdQuantizer& q, std::span<const double> query,
                           const PreparedIpQuery& pq) {
  double sq = 0.0;
  for (const double v : query) sq += v * v;
  if (!std::isfinite(sq)) return;  // such a query's scores are NaN or infinite: no pruning
  terms_.usable = true;
  terms_.query_sq_low = sq * (1.0 - 0x1p-32);
  double max_level = 0.0;
  for (const float level : q.mse_quantizer().centroids) {
    max_level = std::max(max_level, std::fabs(static_cast<double>(level)));
  }
  const double g64 = gamma_of(q.n() + 3, 0x1p-53);
  const double g32 = gamma_of(q.n() + 3, kUnit);
  const double levels_abs = max_level * abs_sum(pq.q_rot) * kUp;
  terms_.fixed_margin = g64 * levels_abs * kUp;
  estimate_terms_ = terms_;
  estimate_terms_.fixed_margin = (g32 * levels_abs + terms_.fixed_margin) * kUp;
  if (q.fast_mode()) return;
  const double proj_abs = abs_sum(pq.q_proj);
  const double s_d = q.qjl_reconstruction_scale();
  const double s_w = pq.qjl_scale;
  // Per unit of f32(gamma): c <= f32(gamma)·s_d·(1 + u), likewise w.
  terms_.margin_per_gamma = g64 * s_d * (1.0 + kUnit) * proj_abs * kUp;
  const double weight_gap = std::fabs(s_d - s_w) + kUnit * (s_d + s_w);
  estimate_terms_.margin_per_gamma =
      ((g32 * s_w * (1.0 + kUnit) + weight_gap) * proj_abs + terms_.margin_per_gamma) * kUp;
}

double L2ScoreBound::score_bound(double u, float gamma, float norm, double squared) const {
  return bound_of(terms_, u, gamma, norm, squared);
}

double L2ScoreBound::estimate_score_bound(double s, float gamma, float norm, double squared) const {
  return bound_of(estimate_terms_, s, gamma, norm, squared);
}

}  // namespace velq
