// AVX2+FMA form of the blocked product: tiles of 8 rows (8 accumulators),
// so each loaded segment of the vector feeds eight FMAs.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "linalg/blocked_product.h"

namespace velq::linalg {

namespace {

// Lanes added in one fixed tree: (0+4, 1+5, 2+6, 3+7), then pairs, then the two.
float lane_total(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

template <int R>
void tile(const float* x, const float* m, std::size_t cols, float* out) {
  __m256 acc[R];
  for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 8 <= cols; j += 8) {
    const __m256 xv = _mm256_loadu_ps(x + j);
    for (int r = 0; r < R; ++r) {
      acc[r] = _mm256_fmadd_ps(xv, _mm256_loadu_ps(m + static_cast<std::size_t>(r) * cols + j), acc[r]);
    }
  }
  for (int r = 0; r < R; ++r) {
    const float* mr = m + static_cast<std::size_t>(r) * cols;
    float s = lane_total(acc[r]);
    for (std::size_t t = j; t < cols; ++t) s = std::fma(mr[t], x[t], s);
    out[r] = s;
  }
}

using TileFn = void (*)(const float*, const float*, std::size_t, float*);

template <int R>
TileFn tile_with_rows(int r) {
  if constexpr (R == 1) {
    return tile<1>;
  } else {
    return r == R ? tile<R> : tile_with_rows<R - 1>(r);
  }
}

// Enough independent sums to hide the FMA latency.
constexpr std::size_t kTileRows = 8;

void row_products(const float* x, const float* m, std::size_t rows, std::size_t cols,
                  float* out) {
  for (std::size_t r0 = 0; r0 < rows; r0 += kTileRows) {
    const int take = static_cast<int>(std::min(rows - r0, kTileRows));
    tile_with_rows<kTileRows>(take)(x, m + r0 * cols, cols, out + r0);
  }
}

}  // namespace

const BlockedProductKernels& avx2_blocked_kernels() {
  static constexpr BlockedProductKernels kAvx2 = {
      .name = "avx2",
      .row_products = row_products,
      .query_product = query_product_from_rows<row_products>};
  return kAvx2;
}

}  // namespace velq::linalg
