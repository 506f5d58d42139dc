// Lloyd-Max scalar codebook for one coordinate of a uniformly random unit
// vector in R^dim (f64 throughout).
#pragma once

#include <cstdint>
#include <vector>

namespace velq {

// 2^bits centroids, ascending. dim < 2 returns the initial spacing unchanged.
std::vector<double> lloyd_max(unsigned bits, std::uint64_t dim);

// ln Γ(x): Lanczos (g = 7, nine coefficients), reflection below 0.5. NaN
// where Γ(x) < 0; the codebook only asks for x >= 0.5.
double log_gamma(double x);

}  // namespace velq
