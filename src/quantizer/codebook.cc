#include "quantizer/codebook.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velq {

namespace {

constexpr std::size_t kGridPoints = 20000;
constexpr double kMinWeight = 1e-10;    // grid points lighter than this are dropped
constexpr double kConvergence = 1e-7;   // stop once no centroid moves this far
constexpr int kMaxIterations = 1000;
constexpr double kLnSqrtPi = 0.5723649429247001;
constexpr double kLnSqrtTwoPi = 0.9189385332046727;

struct GridPoint {
  double x;
  double w;
};

// Density of one coordinate of a uniform unit vector in R^dim (dim >= 2),
// sampled on the grid and kept where it carries weight, in ascending x.
std::vector<GridPoint> weighted_grid(std::uint64_t dim) {
  std::vector<GridPoint> grid;
  if (dim < 2) return grid;
  const double n = static_cast<double>(dim);
  const double log_norm = log_gamma(n / 2.0) - kLnSqrtPi - log_gamma((n - 1.0) / 2.0);
  const double exponent = (n - 3.0) / 2.0;
  const double h = 2.0 / static_cast<double>(kGridPoints - 1);
  grid.reserve(kGridPoints);
  for (std::size_t i = 0; i < kGridPoints; ++i) {
    const double x = static_cast<double>(i) * h + -1.0;
    const double s = std::max(1.0 - x * x, 0.0);
    const bool outside = s == 0.0 || std::fabs(x) >= 1.0;
    const double f = outside ? 0.0 : std::exp(std::log(s) * exponent + log_norm);
    const double w = h * f;
    if (w > kMinWeight) grid.push_back({x, w});
  }
  return grid;
}

}  // namespace

std::vector<double> lloyd_max(unsigned bits, std::uint64_t dim) {
  const std::size_t k = std::size_t{1} << bits;
  const std::vector<GridPoint> grid = weighted_grid(dim);

  const double c = std::min(3.0 / std::sqrt(static_cast<double>(dim)), 0.99);
  std::vector<double> centroids(k);
  for (std::size_t j = 0; j < k; ++j) {
    centroids[j] = ((static_cast<double>(j) + 0.5) * (2.0 * c)) / static_cast<double>(k) - c;
  }

  std::vector<double> bounds(k - 1);
  std::vector<double> sum(k);
  std::vector<double> weight(k);
  for (int iter = 0; iter < kMaxIterations; ++iter) {
    for (std::size_t j = 0; j + 1 < k; ++j) bounds[j] = (centroids[j] + centroids[j + 1]) * 0.5;
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(weight.begin(), weight.end(), 0.0);
    // Grid and boundaries both ascend, so the cell only moves up: a point's
    // cell is the number of boundaries strictly below it (a point on a
    // boundary stays in the lower cell).
    std::size_t cell = 0;
    for (const GridPoint& p : grid) {
      while (cell < bounds.size() && bounds[cell] < p.x) ++cell;
      sum[cell] += p.x * p.w;
      weight[cell] += p.w;
    }
    double max_delta = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      if (weight[j] > 0.0) {
        const double updated = sum[j] / weight[j];
        max_delta = std::max(max_delta, std::fabs(updated - centroids[j]));
        centroids[j] = updated;
      }
    }
    if (max_delta < kConvergence) break;
  }
  return centroids;
}

double log_gamma(double x) {
  if (x < 0.5) {
    return std::log(std::numbers::pi / std::sin(std::numbers::pi * x)) - log_gamma(1.0 - x);
  }
  // Lanczos approximation, g = 7.
  static constexpr double kCoefficients[9] = {
      0.99999999999980993,  676.5203681218851,     -1259.1392167224028,
      771.32342877765313,   -176.61502916214059,   12.507343278686905,
      -0.13857109526572012, 9.9843695780195716e-6, 1.5056327351493116e-7};
  double a = kCoefficients[0];
  for (int i = 1; i < 9; ++i) a += kCoefficients[i] / (x + static_cast<double>(i) - 1.0);
  const double t = x + 6.5;
  return kLnSqrtTwoPi + (x - 0.5) * std::log(t) - t + std::log(a);
}

}  // namespace velq
