// Orthonormalisation of a square f32 matrix, for the dense random rotation.
#pragma once

#include <cstddef>
#include <vector>

namespace velq::linalg {

// Takes d rows of d values (row-major) and orthonormalises them in order by
// modified Gram-Schmidt in f32: each row is divided by its norm (left as is
// when the norm is at most 1e-10), then removed from every later row. One
// pass, no re-orthogonalisation, no sign fixing. Returns R with the resulting
// rows as its columns: R[i·d + j] = row_j[i].
std::vector<float> orthonormal_columns(std::vector<float> rows, std::size_t d);

}  // namespace velq::linalg
