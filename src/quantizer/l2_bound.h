// A proven upper bound of a code's L2 score from its first-pass bound, so the
// exhaustive L2 scan can skip scoring codes that cannot enter the pool.
//
// The exact score the scan gives a code is the f64 value of
//   -sqrt(‖q‖² - 2ν·P + ν²·‖x̂‖²),  P = M + c·G,
// ν the stored norm, ‖x̂‖² the code's reconstruction square
// (reconstruction_norms.h), M = <q_rot, ℓ> and G = <q_proj, s> summed in f64
// from the prepared query's f32 values and the f32 levels (every product
// exact there), c = f32(f32(gamma)·s_d) the reconstruction's sketch weight
// (ProdQuantizer::decoded_ip_packed). Only P is estimated by the first pass,
// prepared with the reconstruction's scale s_d in place of the scoring scale
// (FirstPassQuery::qjl_scale): its bound U then bounds
// R = <q_rot, ℓ> + c·<q_proj, s> in exact arithmetic over the very same f32
// values (first_pass.h), and P differs from R only by f64 rounding:
//   P <= U + E,  E = γ64·(L·Σ|q_rot| + f32(gamma)·s_d·(1 + u)·Σ|q_proj|)
// with L the largest |level|, u = 2^-24 and γ64 = γ(n + 3) of f64 (n-term
// sums in any order, the product by c and the final add). The exact score
// takes ‖x̂‖² as the norms keep it, so with that very value X,
// ‖q‖² - 2ν·(U + E) + ν²·X bounds the root's argument from below, and
// relative margins of 2^-40 and 2^-30 cover the f64
// arithmetic of the exact score (a few roundings of nonnegative terms and a
// root) and of this bound. E is a few f64 units of the sums, so the bound
// prunes on U as the inner-product scan does; no decoding, whose f32
// transforms would add far larger terms, enters either side.
//
// A code the first pass keeps can be bounded again, far closer, from its f32
// estimate S (ProdQuantizer::score_ip_packed), at a third of the f64 sums'
// cost: |S - R_w| <= γ32·(A + w·B) (first_pass.h), R_w the exact sum at the
// scoring weight w = f32(f32(gamma)·s_w), A <= L·Σ|q_rot|, B = Σ|q_proj|, and
// |R_w - R| <= |c - w|·B <= f32(gamma)·(|s_d - s_w| + u·(s_d + s_w))·B, so
//   P <= S + γ32·(L·Σ|q_rot| + f32(gamma)·s_w·(1 + u)·B)
//          + f32(gamma)·(|s_d - s_w| + u·(s_d + s_w))·B + E
// with γ32 = γ(n + 3) of f32.
#pragma once

#include <cstddef>
#include <span>

#include "quantizer/blocked_codes.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

// The per-query constants of the bound.
struct L2BoundTerms {
  bool usable = false;             // false: every bound is +infinity
  double query_sq_low = 0.0;       // ‖q‖² rounded down
  double fixed_margin = 0.0;       // E for gamma = 0
  double margin_per_gamma = 0.0;   // E's growth per unit of f32(gamma)
};

namespace l2_bound {

// Relative margins of the bound's own f64 arithmetic, one set for every
// kernel form so that the forms agree to the bit: the margin E rounded up,
// the root's argument lowered by kArgumentSlack of its magnitude, the root
// rounded down.
inline constexpr double kMarginUp = 1.0 + 0x1p-30;
inline constexpr double kArgumentSlack = 0x1p-40;
inline constexpr double kRootDown = 1.0 - 0x1p-30;

struct L2BoundKernels {
  const char* name;
  // bounds[c] = L2ScoreBound::score_bound of (u[c], gammas[c], norms[c],
  // squared[c]) for the 32 codes of a block, to the bit; bounds may be
  // u itself. Returns their maximum (a bound is never NaN).
  double (*block_bounds)(const L2BoundTerms& terms, const double* u, const float* gammas,
                         const float* norms, const double* squared, double* bounds);
};

const L2BoundKernels& portable_l2_bound_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const L2BoundKernels& avx2_l2_bound_kernels();
// REQUIRES: has_avx512().
const L2BoundKernels& avx512_l2_bound_kernels();
#endif
const L2BoundKernels& active_l2_bound_kernels();

}  // namespace l2_bound

class L2ScoreBound {
 public:
  // `query` holds d values; `pq` was prepared by q from its f32 narrowing.
  L2ScoreBound(const ProdQuantizer& q, std::span<const double> query, const PreparedIpQuery& pq);

  // An upper bound of the code's exact L2 score, given the first-pass bound
  // u of its estimate, its stored gamma and norm, and ‖x̂‖² as the exact
  // score takes it. +infinity when a value is damaged (NaN, negative, infinite), so
  // such a code is always scored exactly.
  double score_bound(double u, float gamma, float norm, double squared) const;
  // The same from the code's f32 estimate s instead of u (see above).
  double estimate_score_bound(double s, float gamma, float norm, double squared) const;

  // score_bound of a block's 32 codes (see L2BoundKernels).
  double block_bounds(const double* u, const float* gammas, const float* norms,
                      const double* squared, double* bounds,
                      const l2_bound::L2BoundKernels& kernels =
                          l2_bound::active_l2_bound_kernels()) const {
    return kernels.block_bounds(terms_, u, gammas, norms, squared, bounds);
  }

 private:
  L2BoundTerms terms_;
  L2BoundTerms estimate_terms_;  // terms_ with the estimate's margins
};

}  // namespace velq
