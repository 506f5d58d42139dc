// Inner loops of code scoring, as free functions over plain arrays so the
// quantizer's methods stay thin and the engine can score packed slots in
// place. Three kernel sets exist: portable, AVX2+FMA and AVX-512; they
// compute the same sums and differ only in summation order and
// fused-multiply-add rounding.
//
// Terms of the estimate for a code (indices idx, sign bytes s):
//   MSE term, table form:  sum_{i<n} lut[i*k + idx[i]]
//   MSE term, level form:  sum_{i<n} levels[idx[i]] * q_rot[i]
//   sign term:             sum_{i<m} (bit i of s ? +q_proj[i] : -q_proj[i]),
//                          m = min(n, 8 * s.size())
// Packed forms read idx straight from the bit stream of packing.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velq::scoring {

// The two sums of one code.
struct ScoreTerms {
  float mse = 0.0f;
  float signs = 0.0f;
};

// The same two sums in f64: each product of two f32 values is exact there,
// so the kernels differ only in the order of the f64 additions.
struct WideTerms {
  double mse = 0.0;
  double signs = 0.0;
};

// Common REQUIREs (checked by the callers in prod_quantizer_scoring.cc, not
// here): lut.size() >= n*k, q_rot.size() >= n, idx.size() >= n,
// q_proj.size() >= n, packed.size() >= ceil(n*bits/8). Data-dependent faults
// are checked here: an unpacked index >= k (levels.size() for the level form)
// panics. Packed forms need k >= 2^bits, so every packed index is in range.
struct ScoreKernels {
  const char* name;
  // Up to this many levels the level form is the faster route to the table
  // form's sum (a register permute beats a gather); 0: always use the table.
  std::size_t level_form_max_levels;
  float (*lut_sum)(std::span<const float> lut, std::size_t k,
                   std::span<const std::uint16_t> idx, std::size_t n);
  float (*lut_sum_packed)(std::span<const float> lut, std::size_t k,
                          std::span<const std::uint8_t> packed, unsigned bits, std::size_t n);
  float (*level_dot)(std::span<const float> levels, std::span<const float> q_rot,
                     std::span<const std::uint16_t> idx, std::size_t n);
  float (*level_dot_packed)(std::span<const float> levels, std::span<const float> q_rot,
                            std::span<const std::uint8_t> packed, unsigned bits, std::size_t n);
  float (*sign_sum)(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
                    std::size_t n);
  // level_dot_packed and sign_sum of one code in one pass.
  ScoreTerms (*level_dot_and_signs_packed)(std::span<const float> levels,
                                           std::span<const float> q_rot,
                                           std::span<const std::uint8_t> packed, unsigned bits,
                                           std::span<const float> q_proj,
                                           std::span<const std::uint8_t> signs, std::size_t n);
  // level_dot_and_signs_packed accumulated in f64, for scores that must
  // match a decoded vector's to f64 rounding rather than f32.
  WideTerms (*wide_terms_packed)(std::span<const float> levels, std::span<const float> q_rot,
                                 std::span<const std::uint8_t> packed, unsigned bits,
                                 std::span<const float> q_proj,
                                 std::span<const std::uint8_t> signs, std::size_t n);
};

const ScoreKernels& portable_score_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const ScoreKernels& avx2_score_kernels();
// REQUIRES: has_avx512().
const ScoreKernels& avx512_score_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const ScoreKernels& active_score_kernels();

// The panic of every kernel set for an index outside the codebook.
[[noreturn]] void level_out_of_range(std::size_t index, std::size_t k);

// s_mse + (f32(gamma) * scale) * s_qjl in f32, widened: how every form
// combines its two terms.
inline double combine_terms(float s_mse, float s_qjl, double gamma, float scale) {
  const float weight = static_cast<float>(gamma) * scale;
  const float qjl = weight * s_qjl;
  return static_cast<double>(s_mse + qjl);
}

}  // namespace velq::scoring
