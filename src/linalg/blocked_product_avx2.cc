// AVX2+FMA form of the blocked product: tiles of up to 4 vectors × 3 rows
// (12 accumulators), so each loaded row segment feeds four FMAs and each
// vector segment three; a lone vector takes 8 rows at a time. Rows form the outer loop: a tile's rows stay in L1
// while the batch's vectors stream past them.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "linalg/blocked_product.h"

namespace velq::linalg {

namespace {

constexpr std::size_t kMaxVectors = 4;

// Lanes added in one fixed tree: (0+4, 1+5, 2+6, 3+7), then pairs, then the two.
float lane_total(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

template <int V, int R>
void tile(const float* x, std::size_t x_stride, const float* m, std::size_t cols, float* out,
          std::size_t out_stride) {
  __m256 acc[V][R];
  for (int v = 0; v < V; ++v) {
    for (int r = 0; r < R; ++r) acc[v][r] = _mm256_setzero_ps();
  }
  std::size_t j = 0;
  for (; j + 8 <= cols; j += 8) {
    __m256 row[R];
    for (int r = 0; r < R; ++r) row[r] = _mm256_loadu_ps(m + static_cast<std::size_t>(r) * cols + j);
    for (int v = 0; v < V; ++v) {
      const __m256 xv = _mm256_loadu_ps(x + static_cast<std::size_t>(v) * x_stride + j);
      for (int r = 0; r < R; ++r) acc[v][r] = _mm256_fmadd_ps(xv, row[r], acc[v][r]);
    }
  }
  for (int v = 0; v < V; ++v) {
    const float* xv = x + static_cast<std::size_t>(v) * x_stride;
    for (int r = 0; r < R; ++r) {
      const float* mr = m + static_cast<std::size_t>(r) * cols;
      float s = lane_total(acc[v][r]);
      for (std::size_t t = j; t < cols; ++t) s = std::fma(mr[t], xv[t], s);
      out[static_cast<std::size_t>(v) * out_stride + static_cast<std::size_t>(r)] = s;
    }
  }
}

using TileFn = void (*)(const float*, std::size_t, const float*, std::size_t, float*, std::size_t);

template <int V, int R>
TileFn tile_with_rows(int r) {
  if constexpr (R == 1) {
    return tile<V, 1>;
  } else {
    return r == R ? tile<V, R> : tile_with_rows<V, R - 1>(r);
  }
}

// 12 accumulators for 3-4 vectors; one or two vectors take more rows, so
// enough independent sums hide the FMA latency.
int rows_per_tile(std::size_t v) { return v == 1 ? 8 : v == 2 ? 4 : 3; }

TileFn tile_for(std::size_t v, int r) {
  switch (v) {
    case 1: return tile_with_rows<1, 8>(r);
    case 2: return tile_with_rows<2, 4>(r);
    case 3: return tile_with_rows<3, 3>(r);
    default: return tile_with_rows<4, 3>(r);
  }
}

void row_products(const float* x, std::size_t count, std::size_t x_stride, const float* m,
                  std::size_t rows, std::size_t cols, float* out, std::size_t out_stride) {
  // Row groups outside, vector groups of up to four inside, so a group's
  // rows stay in L1 while the batch streams past. Every output's order of
  // terms is the same in every tile shape.
  const int group_rows = rows_per_tile(std::min(count, kMaxVectors));
  for (std::size_t r0 = 0; r0 < rows; r0 += static_cast<std::size_t>(group_rows)) {
    const int r = static_cast<int>(std::min<std::size_t>(rows - r0, static_cast<std::size_t>(group_rows)));
    for (std::size_t v0 = 0; v0 < count; v0 += kMaxVectors) {
      const std::size_t v = std::min(count - v0, kMaxVectors);
      for (int done = 0; done < r;) {
        const int take = std::min(r - done, rows_per_tile(v));
        const std::size_t row = r0 + static_cast<std::size_t>(done);
        tile_for(v, take)(x + v0 * x_stride, x_stride, m + row * cols, cols,
                          out + v0 * out_stride + row, out_stride);
        done += take;
      }
    }
  }
}

}  // namespace

const BlockedProductKernels& avx2_blocked_kernels() {
  static constexpr BlockedProductKernels kAvx2 = {.name = "avx2", .row_products = row_products};
  return kAvx2;
}

}  // namespace velq::linalg
