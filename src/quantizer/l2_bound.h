// A proven upper bound of a code's L2 score from its first-pass bound, so the
// exhaustive L2 scan can skip scoring codes that cannot enter the pool.
//
// The exact L2 score is -fl(‖q - ν·x̂‖) with x̂ = m + c·t = dequantize(code):
// m the decoded levels (f32 product with the rotation's transpose), t the
// transposed projection of the signs (f32), c = f32(f32(gamma)·s_d), ν the
// stored norm; or, as the scan computes it without decoding, the f64 value
// of -sqrt(‖q‖² - 2ν·P + ν²·‖x̂‖²) with P = <q_rot, ℓ> + c·<q_proj, s>
// (ProdQuantizer::decoded_ip_packed). The bound covers both. Expanding,
//   ‖q - ν·x̂‖² = ‖q‖² - 2ν·<q, x̂> + ν²·‖x̂‖².
// The estimate's first-pass bound U bounds its exact real value
// <q_rot, ℓ> + w·<q_proj, s> (first_pass.h), which differs from <q, x̂> only
// by rounding in the four f32 transforms and by the two sketch weights
// (w from the scoring scale, c from the reconstruction scale); P differs
// from it by the weights and by f64 sums far inside the f32 margins below. With |R| the
// absolute entries of a transform, every f32 transform output is within
// γ(k)·(|R|·|x|) of exact, k the terms' depth (the dimension for a dense
// matrix, log2(n) plus the scaling for a Hadamard transform), in any
// summation order; summed over the outputs against |q| or the levels this
// is γ(k)·Σ_j |q_j|·colabs_j, colabs_j = Σ_i |R_ij|. So
//   <q, x̂> <= U + E,  E = L·(γq + γc)·Q_R + f32(gamma)·(s_d·γc·Q_S
//                          + s_w·γq·Q_S + |c/g - w/g|·(Σ|q_proj| + γq·Q_S))
// with L the largest |level|, Q = Σ_j |q_j|·colabs_j of the rotation (R) and
// projection (S), γq allowing for the query's narrowing to f32. A lower bound
// ‖x̂‖² >= N (kept per code, reconstruction_norms.h) then gives
//   ‖q - ν·x̂‖² >= ‖q‖² - 2ν·(U + E) + ν²·N,
// and the f64 arithmetic of the exact score (the scaling by ν, the sum of
// squares, the root) and of this bound is covered by relative margins of
// 2^-40..2^-30, far above d·2^-53 for any dimension below 2^18.
//
// The prepared query's rotation and projection must be f32 sums of products
// in some order (any kernel or blocking), as must the reconstruction's.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quantizer/prod_quantizer.h"

namespace velq {

// The per-quantizer part of E: column sums and term depths of the transforms.
struct DecodeErrorColumns {
  std::vector<double> rotation;    // colabs of the rotation, d values, rounded up
  std::vector<double> projection;  // of the projection, scale included; empty in fast mode
  double rotation_gamma = 0.0;     // γ(k) of one rotation in either direction
  double projection_gamma = 0.0;
  double max_level = 0.0;

  static DecodeErrorColumns of(const ProdQuantizer& q);
};

class L2ScoreBound {
 public:
  // `query` holds d values; `pq` was prepared from its f32 narrowing.
  L2ScoreBound(const ProdQuantizer& q, const DecodeErrorColumns& columns,
               std::span<const double> query, const PreparedIpQuery& pq);

  // An upper bound of the code's exact L2 score, given the first-pass bound
  // u of its estimate, its stored gamma and norm, and a lower bound of
  // ‖x̂‖². +infinity when a value is damaged (NaN, negative, infinite), so
  // such a code is always scored exactly.
  double score_bound(double u, float gamma, float norm, double squared_lower) const;

 private:
  bool usable_ = false;
  double query_sq_low_ = 0.0;      // ‖q‖² rounded down
  double fixed_margin_ = 0.0;      // E for gamma = 0
  double margin_per_gamma_ = 0.0;  // E's growth per unit of f32(gamma)
};

}  // namespace velq
