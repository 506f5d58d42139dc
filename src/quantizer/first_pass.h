// The first pass of a two-stage scan: per-query 8-bit tables over the 4-bit
// fields of blocked codes (blocked_codes.h), summed exactly in integers, and
// for each code an upper bound U >= S of the estimate S that any of the
// exact scoring kernels (score_kernels.h, pair_tables.h) returns for it.
//
// Why U bounds S. Let t_f(v) be the exact real value field f contributes for
// field value v (level(v)·q_rot[i] for an index field; the fixed sum of four
// ±q_proj terms for a sign field) and R = R_mse + w·R_sign the estimate in
// exact arithmetic, w = f32(gamma)·qjl_scale rounded as combine_terms rounds
// it. A table stores t_f(v) as min_f + step·q_f(v), q_f(v) an 8-bit integer;
// e_f = max_v (t_f(v) - min_f - step·q_f(v)) is its worst error upward, so
//   R_mse <= Σ_f (min_f + e_f) + step·Σ_f q_f(v_f)
// and likewise for R_sign. The kernels compute S in f32 with n-term sums in
// some order, rounded products, one product by w and one final add: with
// u = 2^-24 and A = Σ_i max_v |level(v)·q_rot[i]|, B = Σ_i |q_proj[i]|,
//   |S - R| <= γ(n+3)·(A + w·B),  γ(k) = k·u / (1 - k·u),
// for every summation order (the standard bound for recursive summation
// applies to any tree). U adds that margin, rounded up, plus a relative
// 2^-28 for the double arithmetic that forms U itself. With w < 0 or NaN
// (a damaged gamma) U is +infinity: the code is always scored exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quantizer/blocked_codes.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

// Bytes of one index field's table: with at most 3 MSE bits a field has 8
// values, and a pair's two tables share one 16-byte register.
inline std::size_t index_table_width(const BlockedShape& shape) { return shape.bits <= 3 ? 8 : 16; }

// Bytes of a query's tables: two per field pair, sign tables 16 bytes wide.
inline std::size_t first_pass_table_bytes(const BlockedShape& shape) {
  return 2 * shape.index_pairs * index_table_width(shape) + 2 * shape.sign_pairs * 16;
}

struct FirstPassQuery {
  // The index fields' tables (2 · index_pairs of index_table_width bytes),
  // then the sign fields' (16 bytes each).
  std::vector<std::uint8_t> tables;
  double index_step = 0.0;
  double sign_step = 0.0;
  // Σ_f (min_f + e_f) plus the rounding margin's part for w = 0.
  double index_base = 0.0;
  // Σ_f (min_f + e_f) of the sign fields plus the margin per unit of w.
  double sign_base = 0.0;
  // The sketch's scale in w: the prepared query's scoring scale, or the
  // reconstruction's when the bound is of <q, x̂> (l2_bound.h).
  float qjl_scale = 0.0f;
};

// REQUIRES: pq prepared by q (q_rot and q_proj hold n values) and
// BlockedCodes::supports(q).
FirstPassQuery prepare_first_pass(const ProdQuantizer& q, const PreparedIpQuery& pq);

// How block_bounds turns a code's bound U into a bound of its score: U
// itself, U times the code's stored norm (+infinity when the norm is
// negative or NaN), or U divided by a positive divisor.
struct BoundScale {
  enum Kind : std::uint8_t { kNone, kNorm, kDivide } kind = kNone;
  double divisor = 1.0;
};

namespace first_pass {

struct FirstPassKernels {
  const char* name;
  // Integer table sums of one block's 32 codes: index_sums[c] over the index
  // fields, sign_sums[c] over the sign fields.
  void (*block_sums)(const std::uint8_t* block, const BlockedShape& shape,
                     const std::uint8_t* tables, std::uint32_t* index_sums,
                     std::uint32_t* sign_sums);
  // The 32 scaled bounds from those sums; returns their maximum (NaN when
  // one is NaN).
  double (*finish_bounds)(const FirstPassQuery& fq, const std::uint8_t* block,
                          const BlockedShape& shape, const std::uint32_t* index_sums,
                          const std::uint32_t* sign_sums, BoundScale scale, double* bounds);
};

const FirstPassKernels& portable_first_pass_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const FirstPassKernels& avx2_first_pass_kernels();
// REQUIRES: has_avx512().
const FirstPassKernels& avx512_first_pass_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const FirstPassKernels& active_first_pass_kernels();

}  // namespace first_pass

// Scaled upper bounds of the 32 codes of block b (see above); returns their
// maximum, NaN when one is NaN.
double block_bounds(const FirstPassQuery& fq, const BlockedCodes& codes, std::size_t b,
                    BoundScale scale, double* bounds,
                    const first_pass::FirstPassKernels& kernels =
                        first_pass::active_first_pass_kernels());

}  // namespace velq
