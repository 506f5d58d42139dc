// The product of one vector with the rows of a matrix, in register tiles of
// rows: out[r] = Σ_{j < cols} m[r·cols + j] · x[j] for r < rows. Queries are
// rotated and projected through it (mat_vec_blocked in dense.h); codes never
// are: the two forms below differ by rounding, and a code must have the same
// bits everywhere (codes take mat_vec and mat_t_vecs).
//
// Each output is summed in an order fixed by `cols` alone, whatever the tile
// it falls in. The AVX2 form keeps eight lane sums (coordinate j in lane
// j mod 8, fused multiply-adds), adds the lanes in one fixed tree and then
// the last cols mod 8 terms in order; the portable form is one sequential
// sum.
#pragma once

#include <cstddef>

namespace velq::linalg {

struct BlockedProductKernels {
  const char* name;
  void (*row_products)(const float* x, const float* m, std::size_t rows, std::size_t cols,
                       float* out);
};

const BlockedProductKernels& portable_blocked_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const BlockedProductKernels& avx2_blocked_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const BlockedProductKernels& active_blocked_kernels();

}  // namespace velq::linalg
