#include "quantizer/nearest_level.h"

#include <algorithm>
#include <cmath>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq {

namespace {

// Number of levels strictly below y: the partition point of the ascending
// codebook. Small codebooks count every level; larger ones bisect.
std::size_t levels_below(std::span<const float> levels, float y) {
  if (levels.size() <= kSmallCodebook) {
    std::size_t p = 0;
    for (float c : levels) p += c < y ? 1 : 0;
    return p;
  }
  return static_cast<std::size_t>(
      std::partition_point(levels.begin(), levels.end(), [y](float c) { return c < y; }) -
      levels.begin());
}

std::uint16_t nearest_level(std::span<const float> levels, float y) {
  const std::size_t p = levels_below(levels, y);
  if (p == 0) return 0;
  if (p == levels.size()) return static_cast<std::uint16_t>(p - 1);
  const bool lower = std::fabs(levels[p - 1] - y) <= std::fabs(levels[p] - y);
  return static_cast<std::uint16_t>(lower ? p - 1 : p);
}

}  // namespace

void nearest_levels(std::span<const float> levels, std::span<const float> values,
                    std::span<std::uint16_t> out) {
  active_nearest_level_kernels().nearest_levels(levels, values, out);
}

void nearest_levels_portable(std::span<const float> levels, std::span<const float> values,
                             std::span<std::uint16_t> out) {
  assert_eq(out.size(), values.size(), "nearest level output length");
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = nearest_level(levels, values[i]);
}

const NearestLevelKernels& portable_nearest_level_kernels() {
  static constexpr NearestLevelKernels kPortable = {.name = "portable",
                                                    .nearest_levels = nearest_levels_portable};
  return kPortable;
}

const NearestLevelKernels& active_nearest_level_kernels() {
  static const NearestLevelKernels& chosen =
      widest_kernels(portable_nearest_level_kernels, VELQ_X86_KERNELS(avx2_nearest_level_kernels));
  return chosen;
}

}  // namespace velq
