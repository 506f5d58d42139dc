#include "linalg/blocked_product.h"

#include "common/cpu_features.h"

namespace velq::linalg {

namespace {

// Four rows at a time so each vector's coordinates are read once per four
// outputs; every output is still its own sequential sum.
void row_products(const float* x, std::size_t count, std::size_t x_stride, const float* m,
                  std::size_t rows, std::size_t cols, float* out, std::size_t out_stride) {
  constexpr std::size_t kRows = 4;
  for (std::size_t r0 = 0; r0 < rows; r0 += kRows) {
    const std::size_t take = rows - r0 < kRows ? rows - r0 : kRows;
    for (std::size_t v = 0; v < count; ++v) {
      const float* xv = x + v * x_stride;
      float acc[kRows] = {};
      for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t r = 0; r < take; ++r) acc[r] += m[(r0 + r) * cols + j] * xv[j];
      }
      for (std::size_t r = 0; r < take; ++r) out[v * out_stride + r0 + r] = acc[r];
    }
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
      has_avx2_fma() ? avx2_blocked_kernels() : portable_blocked_kernels();
  return chosen;
}

}  // namespace velq::linalg
