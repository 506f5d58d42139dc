// Products of a batch of vectors with the rows of a matrix, computed in
// register tiles: out[v·out_stride + r] = Σ_{j < cols} m[r·cols + j] · x[v·x_stride + j]
// for v < count, r < rows. Queries are rotated and projected through it;
// codes never are (the two forms differ by rounding, and a code must have the
// same bits everywhere: they take mat_t_vecs in dense.h).
//
// Each output is summed in an order fixed by `cols` alone, whatever the tile
// it falls in: the same vector gives the same bits alone, in any batch, at
// any position, on any number of threads. The AVX2 form keeps eight lane sums
// (coordinate j in lane j mod 8, fused multiply-adds), adds the lanes in one
// fixed tree and then the last cols mod 8 terms in order; the portable form
// is one sequential sum. The two forms differ only by rounding.
#pragma once

#include <cstddef>

namespace velq::linalg {

struct BlockedProductKernels {
  const char* name;
  void (*row_products)(const float* x, std::size_t count, std::size_t x_stride,
                       const float* m, std::size_t rows, std::size_t cols, float* out,
                       std::size_t out_stride);
};

const BlockedProductKernels& portable_blocked_kernels();
// REQUIRES: has_avx2_fma().
const BlockedProductKernels& avx2_blocked_kernels();
// The AVX2 set when the processor has AVX2 and FMA, else the portable one.
const BlockedProductKernels& active_blocked_kernels();

}  // namespace velq::linalg
