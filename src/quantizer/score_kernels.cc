// Portable scoring kernels: sequential f32 sums in index order, the reference
// the vector kernels are tested against.
#include "quantizer/score_kernels.h"

#include <algorithm>
#include <bit>
#include <string>

#include "common/cpu_features.h"
#include "common/panic.h"
#include "quantizer/packing.h"

namespace velq::scoring {

namespace {

float lut_sum(std::span<const float> lut, std::size_t k, std::span<const std::uint16_t> idx,
              std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    if (idx[i] >= k) level_out_of_range(idx[i], k);
    s += lut[i * k + idx[i]];
  }
  return s;
}

float lut_sum_packed(std::span<const float> lut, std::size_t k,
                     std::span<const std::uint8_t> packed, unsigned bits, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s += lut[i * k + packing::index_at(packed, i, bits)];
  return s;
}

float level_dot(std::span<const float> levels, std::span<const float> q_rot,
                std::span<const std::uint16_t> idx, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    if (idx[i] >= levels.size()) level_out_of_range(idx[i], levels.size());
    s += levels[idx[i]] * q_rot[i];
  }
  return s;
}

float level_dot_packed(std::span<const float> levels, std::span<const float> q_rot,
                       std::span<const std::uint8_t> packed, unsigned bits, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s += levels[packing::index_at(packed, i, bits)] * q_rot[i];
  return s;
}

// Branch-free: a clear bit flips q_proj's sign bit, which is exactly -q_proj.
float sign_sum(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
               std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  float s = 0.0f;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t flip = (~(signs[i / 8] >> (i % 8)) & 1u) << 31;
    s += std::bit_cast<float>(std::bit_cast<std::uint32_t>(q_proj[i]) ^ flip);
  }
  return s;
}

ScoreTerms level_dot_and_signs_packed(std::span<const float> levels, std::span<const float> q_rot,
                                      std::span<const std::uint8_t> packed, unsigned bits,
                                      std::span<const float> q_proj,
                                      std::span<const std::uint8_t> signs, std::size_t n) {
  return {level_dot_packed(levels, q_rot, packed, bits, n), sign_sum(q_proj, signs, n)};
}

WideTerms wide_terms_packed(std::span<const float> levels, std::span<const float> q_rot,
                            std::span<const std::uint8_t> packed, unsigned bits,
                            std::span<const float> q_proj, std::span<const std::uint8_t> signs,
                            std::size_t n) {
  WideTerms t;
  for (std::size_t i = 0; i < n; ++i) {
    t.mse += static_cast<double>(levels[packing::index_at(packed, i, bits)]) *
             static_cast<double>(q_rot[i]);
  }
  const std::size_t m = std::min(n, 8 * signs.size());
  for (std::size_t i = 0; i < m; ++i) {
    const double v = q_proj[i];
    t.signs += (signs[i / 8] >> (i % 8)) & 1 ? v : -v;
  }
  return t;
}

}  // namespace

void level_out_of_range(std::size_t index, std::size_t k) {
  panic("index out of bounds: the len is " + std::to_string(k) + " but the index is " +
        std::to_string(index));
}

const ScoreKernels& portable_score_kernels() {
  static constexpr ScoreKernels kPortable = {
      .name = "portable",
      .level_form_max_levels = 0,
      .lut_sum = lut_sum,
      .lut_sum_packed = lut_sum_packed,
      .level_dot = level_dot,
      .level_dot_packed = level_dot_packed,
      .sign_sum = sign_sum,
      .level_dot_and_signs_packed = level_dot_and_signs_packed,
      .wide_terms_packed = wide_terms_packed,
  };
  return kPortable;
}

const ScoreKernels& active_score_kernels() {
  static const ScoreKernels& chosen =
      widest_kernels(portable_score_kernels, VELQ_X86_KERNELS(avx2_score_kernels),
                     VELQ_X86_KERNELS(avx512_score_kernels));
  return chosen;
}

}  // namespace velq::scoring
