#include "linalg/blocked_product.h"

#include "common/cpu_features.h"

namespace velq::linalg {

namespace {

// Four rows at a time so the vector's coordinates are read once per four
// outputs; every output is still its own sequential sum.
void row_products(const float* x, const float* m, std::size_t rows, std::size_t cols,
                  float* out) {
  constexpr std::size_t kRows = 4;
  for (std::size_t r0 = 0; r0 < rows; r0 += kRows) {
    const std::size_t take = rows - r0 < kRows ? rows - r0 : kRows;
    float acc[kRows] = {};
    for (std::size_t j = 0; j < cols; ++j) {
      for (std::size_t r = 0; r < take; ++r) acc[r] += m[(r0 + r) * cols + j] * x[j];
    }
    for (std::size_t r = 0; r < take; ++r) out[r0 + r] = acc[r];
  }
}

}  // namespace

const BlockedProductKernels& portable_blocked_kernels() {
  static constexpr BlockedProductKernels kPortable = {.name = "portable",
                                                      .row_products = row_products};
  return kPortable;
}

const BlockedProductKernels& active_blocked_kernels() {
  static const BlockedProductKernels& chosen =
      widest_kernels(portable_blocked_kernels, VELQ_X86_KERNELS(avx2_blocked_kernels));
  return chosen;
}

}  // namespace velq::linalg
