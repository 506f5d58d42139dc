// Products of a square row-major f32 matrix with a vector, as the dense
// rotation and projection use them. Every output is one sequential f32 sum in
// index order, so results do not depend on how the loops are arranged.
#pragma once

#include <cstddef>
#include <span>

namespace velq::linalg {

// out[i] = Σ_{j < min(|x|, d)} m[i·d + j] · x[j] for i < d. m holds d×d values;
// out at least d.
void mat_vec(std::span<const float> m, std::size_t d, std::span<const float> x,
             std::span<float> out);

// out[j] = Σ_{i < d} m[i·d + j] · y[i] for j < d (the transpose). y and out at
// least d.
void mat_t_vec(std::span<const float> m, std::size_t d, std::span<const float> y,
               std::span<float> out);

}  // namespace velq::linalg
