// The product of one vector with the rows of a matrix, in register tiles of
// rows: out[r] = Σ_{j < cols} m[r·cols + j] · x[j] for r < rows. Queries are
// rotated and projected through it (mat_vec_blocked in dense.h); codes never
// are: the forms below differ by rounding, and a code must have the same
// bits everywhere (codes take mat_vec and mat_t_vecs).
//
// Each output is summed in an order fixed by `cols` alone, whatever the tile
// it falls in. The AVX2 form keeps eight lane sums (coordinate j in lane
// j mod 8, fused multiply-adds), adds the lanes in one fixed tree and then
// the last cols mod 8 terms in order; the portable form is one sequential
// sum. The AVX-512 form has the AVX2 form's bits: for one query whose
// matrices stay in the core's cache it keeps the same eight sums of each
// output, sixteen outputs to a register, walking the coordinates in order
// down the matrix's transpose; otherwise it runs the AVX2 rows.
#pragma once

#include <cstddef>
#include <span>

namespace velq::linalg {

struct BlockedProductKernels {
  const char* name;
  void (*row_products)(const float* x, const float* m, std::size_t rows, std::size_t cols,
                       float* out);
  // Outputs [first, last) of one vector's product with the d×d matrix m,
  // with row_products' bits, into out[first, last). mt is m's transpose
  // (mt[j·d + i] = m[i·d + j]) or empty; a form whose loads suit columns
  // reads mt when it is there, every other reads m.
  void (*query_product)(const float* x, const float* m, std::span<const float> mt, std::size_t d,
                        std::size_t first, std::size_t last, float* out);
};

// query_product for the forms that read rows.
template <auto RowProducts>
void query_product_from_rows(const float* x, const float* m, std::span<const float>,
                             std::size_t d, std::size_t first, std::size_t last, float* out) {
  RowProducts(x, m + first * d, last - first, d, out + first);
}

const BlockedProductKernels& portable_blocked_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const BlockedProductKernels& avx2_blocked_kernels();
// REQUIRES: has_avx512().
const BlockedProductKernels& avx512_blocked_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const BlockedProductKernels& active_blocked_kernels();

}  // namespace velq::linalg
