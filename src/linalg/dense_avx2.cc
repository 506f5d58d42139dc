// AVX2 forms of the dense products. Each output is still one sequential sum
// in index order, with a separate multiply and add per term (never a fused
// multiply-add), so the results are bit-identical to the portable loops.
#include <immintrin.h>

#include <algorithm>

#include "linalg/dense.h"

// Keep the compiler from fusing the multiplies and adds below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#elif defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace velq::linalg {

namespace {

// The 8×8 tile of rows r[0..8) at columns [j, j+8), transposed so that
// col[k] holds column j+k with lane l from row l. Rows 0-3 and 4-7 are loaded
// into the two 128-bit halves; the rest are in-lane shuffles.
inline void load_transposed_tile(const float* const* r, std::size_t j, __m256 col[8]) {
  for (int half = 0; half < 2; ++half) {
    const std::size_t c = j + 4 * static_cast<std::size_t>(half);
    __m256 t[4];
    for (int l = 0; l < 4; ++l) {
      t[l] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(r[l] + c)),
                                  _mm_loadu_ps(r[l + 4] + c), 1);
    }
    const __m256 u0 = _mm256_unpacklo_ps(t[0], t[1]);
    const __m256 u1 = _mm256_unpackhi_ps(t[0], t[1]);
    const __m256 u2 = _mm256_unpacklo_ps(t[2], t[3]);
    const __m256 u3 = _mm256_unpackhi_ps(t[2], t[3]);
    // One shuffle and two blends per column pair: blends need not wait for
    // the shuffle port.
    const __m256 v02 = _mm256_shuffle_ps(u0, u2, 0x4E);
    const __m256 v13 = _mm256_shuffle_ps(u1, u3, 0x4E);
    col[4 * half + 0] = _mm256_blend_ps(u0, v02, 0xCC);
    col[4 * half + 1] = _mm256_blend_ps(u2, v02, 0x33);
    col[4 * half + 2] = _mm256_blend_ps(u1, v13, 0xCC);
    col[4 * half + 3] = _mm256_blend_ps(u3, v13, 0x33);
  }
}

// Rows [i, i + 8·kBlocks), kBlocks independent accumulators so that one
// block's adds overlap another's shuffles.
template <int kBlocks>
void row_blocks(const float* m, std::size_t stride, const float* x, std::size_t cols,
                std::size_t i, float* out) {
  const float* r[kBlocks][8];
  __m256 acc[kBlocks];
  for (int b = 0; b < kBlocks; ++b) {
    for (int l = 0; l < 8; ++l) r[b][l] = m + (i + 8 * static_cast<std::size_t>(b) + l) * stride;
    acc[b] = _mm256_setzero_ps();
  }
  std::size_t j = 0;
  for (; j + 8 <= cols; j += 8) {
    for (int b = 0; b < kBlocks; ++b) {
      __m256 col[8];
      load_transposed_tile(r[b], j, col);
      for (int k = 0; k < 8; ++k) {
        acc[b] = _mm256_add_ps(acc[b], _mm256_mul_ps(col[k], _mm256_broadcast_ss(x + j + k)));
      }
    }
  }
  for (int b = 0; b < kBlocks; ++b) {
    float* o = out + i + 8 * static_cast<std::size_t>(b);
    _mm256_storeu_ps(o, acc[b]);
    // Remaining columns continue each row's sum in order.
    for (std::size_t t = j; t < cols; ++t) {
      for (int l = 0; l < 8; ++l) o[l] += r[b][l][t] * x[t];
    }
  }
}

// Rows [i, i+4) added into the outputs of K vectors (stride d): each
// matrix row is loaded once for all K, and each out[j] takes its terms in
// row order, a multiply then an add, as mat_t_vec does.
template <std::size_t K>
void add_four_rows(const float* m, std::size_t d, const float* y, std::size_t i, float* out) {
  const float* r[4] = {m + i * d, m + (i + 1) * d, m + (i + 2) * d, m + (i + 3) * d};
  __m256 yb[K][4];
  for (std::size_t v = 0; v < K; ++v) {
    for (std::size_t k = 0; k < 4; ++k) yb[v][k] = _mm256_set1_ps(y[v * d + i + k]);
  }
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    __m256 row[4];
    for (std::size_t k = 0; k < 4; ++k) row[k] = _mm256_loadu_ps(r[k] + j);
    for (std::size_t v = 0; v < K; ++v) {
      float* o = out + v * d + j;
      __m256 acc = _mm256_loadu_ps(o);
      for (std::size_t k = 0; k < 4; ++k) acc = _mm256_add_ps(acc, _mm256_mul_ps(row[k], yb[v][k]));
      _mm256_storeu_ps(o, acc);
    }
  }
  for (; j < d; ++j) {
    for (std::size_t v = 0; v < K; ++v) {
      const float* yv = y + v * d + i;
      float& o = out[v * d + j];
      o = (((o + r[0][j] * yv[0]) + r[1][j] * yv[1]) + r[2][j] * yv[2]) + r[3][j] * yv[3];
    }
  }
}

template <std::size_t K>
void block_products(const float* m, std::size_t d, const float* y, float* out) {
  std::fill_n(out, K * d, 0.0f);
  std::size_t i = 0;
  for (; i + 4 <= d; i += 4) add_four_rows<K>(m, d, y, i, out);
  for (std::size_t v = 0; v < K; ++v) accumulate_rows(m, d, y + v * d, i, out + v * d);
}

}  // namespace

void mat_t_vecs_avx2(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                     float* out) {
  check_dense_shapes(m, d, d);
  // Four vectors per pass where they are (their row factors spill a little;
  // measured faster than two), then the rest.
  std::size_t v = 0;
  for (; v + 4 <= count; v += 4) block_products<4>(m.data(), d, y + v * d, out + v * d);
  for (; v + 2 <= count; v += 2) block_products<2>(m.data(), d, y + v * d, out + v * d);
  if (v < count) block_products<1>(m.data(), d, y + v * d, out + v * d);
}

void row_dots_avx2(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
                   const float* x, float* out) {
  std::size_t i = 0;
  for (; i + 16 <= rows; i += 16) row_blocks<2>(m, stride, x, cols, i, out);
  for (; i + 8 <= rows; i += 8) row_blocks<1>(m, stride, x, cols, i, out);
  if (i < rows) row_dots_portable(m + i * stride, rows - i, stride, cols, x, out + i);
}

void mat_t_vec_avx2(std::span<const float> m, std::size_t d, std::span<const float> y,
                    std::span<float> out) {
  check_dense_shapes(m, d, out.size());
  check_dense_input(y.size(), d);
  std::fill_n(out.begin(), d, 0.0f);
  const float* a = m.data();
  float* o = out.data();
  // Four rows per sweep over the output: each out[j] still takes the terms
  // in row order, with a quarter of the loads and stores of out.
  std::size_t i = 0;
  for (; i + 4 <= d; i += 4) {
    const float* r0 = a + i * d;
    const float* r1 = r0 + d;
    const float* r2 = r1 + d;
    const float* r3 = r2 + d;
    const __m256 y0 = _mm256_set1_ps(y[i]);
    const __m256 y1 = _mm256_set1_ps(y[i + 1]);
    const __m256 y2 = _mm256_set1_ps(y[i + 2]);
    const __m256 y3 = _mm256_set1_ps(y[i + 3]);
    std::size_t j = 0;
    for (; j + 8 <= d; j += 8) {
      __m256 v = _mm256_loadu_ps(o + j);
      v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(r0 + j), y0));
      v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(r1 + j), y1));
      v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(r2 + j), y2));
      v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(r3 + j), y3));
      _mm256_storeu_ps(o + j, v);
    }
    for (; j < d; ++j) {
      o[j] = (((o[j] + r0[j] * y[i]) + r1[j] * y[i + 1]) + r2[j] * y[i + 2]) + r3[j] * y[i + 3];
    }
  }
  accumulate_rows(a, d, y.data(), i, o);
}

}  // namespace velq::linalg
