// Scalar quantization of rotated coordinates against an ascending codebook.
// For a value y with p levels strictly below it: index 0 when p = 0, k-1 when
// p = k, else p-1 when |c[p-1] - y| <= |c[p] - y| (ties to the lower level)
// and p otherwise. NaN compares below nothing and gets index 0.
#pragma once

#include <cstdint>
#include <span>

namespace velq {

// out[i] = index of the level nearest to values[i]; out.size() == values.size().
// levels holds 1 to 65,536 ascending values.
void nearest_levels(std::span<const float> levels, std::span<const float> values,
                    std::span<std::uint16_t> out);
void nearest_levels_portable(std::span<const float> levels, std::span<const float> values,
                             std::span<std::uint16_t> out);

struct NearestLevelKernels {
  const char* name;
  void (*nearest_levels)(std::span<const float> levels, std::span<const float> values,
                         std::span<std::uint16_t> out);
};
const NearestLevelKernels& portable_nearest_level_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const NearestLevelKernels& avx2_nearest_level_kernels();
// Vector form for codebooks of at most 16 levels; larger ones take the
// portable path. Identical results.
void nearest_levels_avx2(std::span<const float> levels, std::span<const float> values,
                         std::span<std::uint16_t> out);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const NearestLevelKernels& active_nearest_level_kernels();

// Codebooks this small are searched by counting every level (no branches).
inline constexpr std::size_t kSmallCodebook = 16;

}  // namespace velq
