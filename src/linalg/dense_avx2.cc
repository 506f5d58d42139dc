// AVX2 forms of the dense products. Each output is still one sequential sum
// in index order, with a separate multiply and add per term (never a fused
// multiply-add), so the results are bit-identical to the portable loops.
#include <immintrin.h>

#include <algorithm>

#include "linalg/dense.h"
#include "linalg/transposed_tiles.h"

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

// Eight outputs per register, 16 registers.
struct Avx2 {
  static constexpr std::size_t kLanes = 8;
  using Vec = __m256;
  using Mask = __m256i;
  struct StripTag;
  struct ValuesTag;

  static Mask tail_mask(std::size_t d) {
    const int tail = static_cast<int>(d % kLanes == 0 ? kLanes : d % kLanes);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(tail), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // About 12 sums per tile, so enough independent adds are in flight while
  // the row loads and broadcasts still fit the registers.
  static constexpr std::size_t blocks_for(std::size_t v) { return v == 1 ? 8 : v == 2 ? 5 : 3; }

  static Vec zero() { return _mm256_setzero_ps(); }
  static Vec set1(float x) { return _mm256_set1_ps(x); }
  static Vec load(const float* p) { return _mm256_loadu_ps(p); }
  static Vec load(const float* p, Mask m) { return _mm256_maskload_ps(p, m); }
  static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
  static void store(float* p, Mask m, Vec v) { _mm256_maskstore_ps(p, m, v); }
  static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
};

}  // namespace

void mat_t_vecs_avx2(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                     float* out) {
  tiles::transposed_products<Avx2>(m, d, y, count, out);
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
  tiles::transposed_product<Avx2>(m, d, y, out);
}

const DenseKernels& avx2_dense_kernels() {
  static constexpr DenseKernels kAvx2 = {
      .name = "avx2",
      .row_dots = row_dots_avx2,
      .mat_t_vec = mat_t_vec_avx2,
      .mat_t_vecs = mat_t_vecs_avx2};
  return kAvx2;
}

}  // namespace velq::linalg
