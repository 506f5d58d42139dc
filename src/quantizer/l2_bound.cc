#include "quantizer/l2_bound.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace velq {

namespace {

constexpr double kUnit = 0x1p-24;  // f32 unit roundoff
// Relative margin for a handful of f64 roundings of nonnegative terms.
constexpr double kUp = 1.0 + 0x1p-40;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// γ(k) = k·u / (1 - k·u) of f32, rounded up.
double gamma_of(std::size_t terms) {
  const double ku = static_cast<double>(terms) * kUnit;
  return ku / (1.0 - ku) * kUp;
}

// Term depth of an n-point transform: every term of a dense product, or the
// Hadamard stages plus the scaling (the sign flips are exact).
std::size_t depth(bool dense, std::size_t n) {
  return (dense ? n : static_cast<std::size_t>(std::bit_width(n))) + 3;
}

// Σ_i |m[i·d + j]| for every column j, times `scale`, rounded up.
std::vector<double> column_sums(const std::vector<float>& m, std::size_t d, double scale) {
  std::vector<double> sums(d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) sums[j] += std::fabs(static_cast<double>(m[i * d + j]));
  }
  for (double& s : sums) s *= scale * kUp;
  return sums;
}

// A Hadamard transform's entries are ±f, f the f32 rounding of 1/√n (bounded
// from above here); a column holds n of them.
std::vector<double> hadamard_sums(std::size_t d, std::size_t n) {
  const double f = 1.0 / std::sqrt(static_cast<double>(n)) * (1.0 + 0x1p-20);
  return std::vector<double>(d, static_cast<double>(n) * f);
}

double weighted_abs_sum(std::span<const double> q, const std::vector<double>& columns) {
  double s = 0.0;
  for (std::size_t j = 0; j < q.size() && j < columns.size(); ++j) s += std::fabs(q[j]) * columns[j];
  return s * (1.0 + 0x1p-30);
}

}  // namespace

DecodeErrorColumns DecodeErrorColumns::of(const ProdQuantizer& q) {
  DecodeErrorColumns c;
  const std::size_t d = q.d(), n = q.n();
  const MseQuantizer& mse = q.mse_quantizer();
  c.rotation = mse.is_dense() ? column_sums(*mse.rotation_matrix, d, 1.0) : hadamard_sums(d, n);
  c.rotation_gamma = gamma_of(depth(mse.is_dense(), std::max(d, n)));
  for (const float level : mse.centroids) {
    c.max_level = std::max(c.max_level, std::fabs(static_cast<double>(level)));
  }
  if (!q.fast_mode()) {
    const QjlQuantizer& qjl = q.qjl_quantizer();
    c.projection = qjl.is_dense()
                       ? column_sums(*qjl.projection_matrix, d, qjl.dense_factor())
                       : hadamard_sums(d, qjl.n);
    c.projection_gamma = gamma_of(depth(qjl.is_dense(), std::max<std::size_t>(d, qjl.n)));
  }
  return c;
}

L2ScoreBound::L2ScoreBound(const ProdQuantizer& q, const DecodeErrorColumns& columns,
                           std::span<const double> query, const PreparedIpQuery& pq) {
  double sq = 0.0;
  for (const double v : query) sq += v * v;
  if (!std::isfinite(sq)) return;  // such a query's scores are NaN or infinite: no pruning
  usable_ = true;
  query_sq_low_ = sq * (1.0 - 0x1p-32);
  // The query side also carries its narrowing to f32: |q32| <= |q|·(1 + u).
  const double narrowing = (1.0 + kUnit) * kUp;
  const double rot_q = columns.rotation_gamma * narrowing + kUnit;
  const double q_r = weighted_abs_sum(query, columns.rotation);
  fixed_margin_ = columns.max_level * (rot_q + columns.rotation_gamma) * q_r * kUp;
  if (columns.projection.empty()) return;
  const double proj_q = columns.projection_gamma * narrowing + kUnit;
  const double q_s = weighted_abs_sum(query, columns.projection);
  double proj_abs = 0.0;
  for (const float v : pq.q_proj) proj_abs += std::fabs(static_cast<double>(v));
  const double s_d = q.qjl_reconstruction_scale();
  const double s_w = pq.qjl_scale;
  // Per unit of f32(gamma): both weights are one f32 product away from it.
  const double weight_gap = std::fabs(s_d - s_w) + kUnit * (s_d + s_w);
  margin_per_gamma_ = (s_d * (1.0 + kUnit) * columns.projection_gamma * q_s +
                       s_w * (1.0 + kUnit) * proj_q * q_s +
                       weight_gap * (proj_abs * (1.0 + 0x1p-30) + proj_q * q_s)) *
                      (1.0 + 0x1p-30);
}

double L2ScoreBound::score_bound(double u, float gamma, float norm, double squared_lower) const {
  if (!usable_ || !(gamma >= 0.0f) || !(norm >= 0.0f) || !std::isfinite(norm) ||
      !(squared_lower >= 0.0) || !std::isfinite(squared_lower) || !(u < kInfinity)) {
    return kInfinity;
  }
  const double nu = norm, low = squared_lower;
  // ‖x̂‖ from above: the lower bound lost less than 2^-22 of the real value
  // (plus a subnormal's absolute step).
  const double x_high = std::sqrt(low * (1.0 + 0x1p-21) + 0x1p-140);
  const double ip_high = u + (fixed_margin_ + static_cast<double>(gamma) * margin_per_gamma_) * kUp;
  const double magnitude = query_sq_low_ + 2.0 * nu * std::fabs(ip_high) + nu * nu * low;
  const double dist_sq = query_sq_low_ - 2.0 * nu * ip_high + nu * nu * low - 0x1p-40 * magnitude;
  if (!(dist_sq > 0.0)) return 0.0;
  // The exact score's own rounding: the scaled vector is within 2^-51 of
  // ν·x̂ per coordinate, the root of the rounded sum of squares within a
  // relative d·2^-53.
  const double dist = (std::sqrt(dist_sq) * (1.0 - 0x1p-40) - nu * x_high * 0x1p-50) * (1.0 - 0x1p-30);
  return dist > 0.0 ? -dist : 0.0;
}

}  // namespace velq
