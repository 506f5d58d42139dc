// AVX2 forms of the dense products. Each output is still one sequential sum
// in index order, with a separate multiply and add per term (never a fused
// multiply-add), so the results are bit-identical to the portable loops.
#include <immintrin.h>

#include <algorithm>
#include <type_traits>
#include <utility>

#include "common/thread_scratch.h"
#include "linalg/dense.h"

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

// Register tiles for mat_t_vecs: V vectors × O blocks of 8 outputs, all
// V·O sums held in registers across a strip of rows. Each lane is one output,
// taking its terms in row order, a multiply then an add, as mat_t_vec does;
// lanes never mix, so the tiling changes no bits.
//
// The strip: `rows` rows of at least 8·O values, `stride` apart. ys holds
// the vectors' values for those rows interleaved, ys[i·kGroup + v]. out is
// offset to the tile's first column; its vectors lie d apart. `fresh`: the
// strip starts at the matrix's first row, so the sums start at zero rather
// than from out. kMasked: the last block has fewer than 8 outputs, those
// `mask` marks; its other lanes are never stored.
constexpr std::size_t kGroup = 4;

// f(K) for K = 0 … N−1, each index a compile-time constant: the
// accumulators below are then separate registers, not a stack array the
// loop stores to on every row.
template <std::size_t N, typename F>
inline void unrolled(F&& f) {
  [&]<std::size_t... K>(std::index_sequence<K...>) {
    (f(std::integral_constant<std::size_t, K>{}), ...);
  }(std::make_index_sequence<N>{});
}

template <std::size_t V, std::size_t O, bool kMasked>
void column_tile(const float* strip, std::size_t stride, std::size_t rows, const float* ys,
                 bool fresh, __m256i mask, float* out, std::size_t d) {
  const auto load = [mask](const float* p, auto o) {
    if constexpr (kMasked && o == O - 1) {
      return _mm256_maskload_ps(p, mask);
    } else {
      return _mm256_loadu_ps(p);
    }
  };
  // acc[v·O + o]: vector v, block o.
  __m256 acc[V * O];
  unrolled<V * O>([&](auto k) {
    constexpr std::size_t v = k / O;
    constexpr std::integral_constant<std::size_t, k % O> o;
    acc[k] = fresh ? _mm256_setzero_ps() : load(out + v * d + 8 * o, o);
  });
  for (std::size_t i = 0; i < rows; ++i) {
    __m256 r[O];
    unrolled<O>([&](auto o) { r[o] = load(strip + i * stride + 8 * o, o); });
    unrolled<V>([&](auto v) {
      const __m256 yi = _mm256_broadcast_ss(ys + i * kGroup + v);
      unrolled<O>([&](auto o) {
        acc[v * O + o] = _mm256_add_ps(acc[v * O + o], _mm256_mul_ps(r[o], yi));
      });
    });
  }
  unrolled<V * O>([&](auto k) {
    constexpr std::size_t v = k / O, o = k % O;
    float* dst = out + v * d + 8 * o;
    if constexpr (kMasked && o == O - 1) {
      _mm256_maskstore_ps(dst, mask, acc[k]);
    } else {
      _mm256_storeu_ps(dst, acc[k]);
    }
  });
}

using ColumnTile = void (*)(const float*, std::size_t, std::size_t, const float*, bool, __m256i,
                            float*, std::size_t);

// Blocks of 8 outputs per tile for V vectors: about 12 sums, so enough
// independent adds are in flight while the row loads and broadcasts still
// fit the 16 registers.
constexpr std::size_t blocks_for(std::size_t v) { return v == 1 ? 8 : v == 2 ? 5 : 3; }

template <std::size_t V, std::size_t O>
ColumnTile column_tile_for(std::size_t blocks, bool masked) {
  if constexpr (O > 1) {
    if (blocks < O) return column_tile_for<V, O - 1>(blocks, masked);
  }
  return masked ? column_tile<V, O, true> : column_tile<V, O, false>;
}

ColumnTile column_tile_for(std::size_t vectors, std::size_t blocks, bool masked) {
  switch (vectors) {
    case 1: return column_tile_for<1, blocks_for(1)>(blocks, masked);
    case 2: return column_tile_for<2, blocks_for(2)>(blocks, masked);
    case 3: return column_tile_for<3, blocks_for(3)>(blocks, masked);
    default: return column_tile_for<kGroup, blocks_for(kGroup)>(blocks, masked);
  }
}

// Rows per strip: a strip of the matrix and the batch's values for its rows
// stay in L1 while every vector group passes over the strip.
constexpr std::size_t kStripRows = 64;

struct StripTag;
struct GroupValuesTag;

// Copies rows [0, rows) of the d-column matrix at m into strip, cut into
// panels of `width` columns: column c of row i goes to
// strip[((c / width)·rows + i)·width + c % width], and the columns past d in
// the last block are zero. Matrix rows lie d floats apart, a multiple of the
// cache's set stride at the usual dimensions: read in place by several
// vector groups, a panel's rows would crowd a few cache sets and miss all the
// time; packed, they do not, and the copy reads each row in one sweep.
void copy_strip(const float* m, std::size_t d, std::size_t rows, std::size_t width,
                __m256i mask, float* strip) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = m + i * d;
    float* panel = strip + i * width;
    for (std::size_t col = 0; col < d; col += width, panel += rows * width) {
      for (std::size_t c = col; c < std::min(d, col + width); c += 8) {
        const __m256 v = c + 8 <= d ? _mm256_loadu_ps(row + c) : _mm256_maskload_ps(row + c, mask);
        _mm256_storeu_ps(panel + (c - col), v);
      }
    }
  }
}

// ys[(g·rows + i)·kGroup + v] = y[(g·kGroup + v)·d + i] for the vectors of each
// group g and i < rows.
void group_values(const float* y, std::size_t d, std::size_t count, std::size_t rows, float* ys) {
  for (std::size_t v = 0; v < count; ++v) {
    float* dst = ys + (v / kGroup) * rows * kGroup + v % kGroup;
    for (std::size_t i = 0; i < rows; ++i) dst[i * kGroup] = y[v * d + i];
  }
}

}  // namespace

void mat_t_vecs_avx2(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                     float* out) {
  check_dense_shapes(m, d, d);
  if (count == 0 || d == 0) return;
  // Tiles as wide as the largest vector group allows; a smaller last group
  // keeps the width with fewer sums. A single group reads the matrix once,
  // in place.
  const std::size_t width = 8 * blocks_for(std::min(count, kGroup));
  const bool copy = count > kGroup;
  const std::size_t panels = (d + width - 1) / width;
  const std::span<float> strip = thread_scratch<StripTag>(copy ? kStripRows * panels * width : 0);
  const std::size_t groups = (count + kGroup - 1) / kGroup;
  const std::span<float> ys = thread_scratch<GroupValuesTag>(groups * kGroup * kStripRows);
  const int tail = static_cast<int>(d % 8 == 0 ? 8 : d % 8);
  const __m256i mask =
      _mm256_cmpgt_epi32(_mm256_set1_epi32(tail), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  for (std::size_t first_row = 0; first_row < d; first_row += kStripRows) {
    const std::size_t rows = std::min(kStripRows, d - first_row);
    group_values(y + first_row, d, count, rows, ys.data());
    if (copy) copy_strip(m.data() + first_row * d, d, rows, width, mask, strip.data());
    // The next strip's rows, one contiguous run of the matrix, are fetched
    // into L2 a few lines before each tile while this strip is multiplied:
    // copying them then waits on no memory.
    const char* next = reinterpret_cast<const char*>(m.data() + (first_row + rows) * d);
    const std::size_t next_bytes = copy ? std::min(kStripRows, d - first_row - rows) * d * 4 : 0;
    const std::size_t tiles = panels * groups;
    for (std::size_t p = 0; p < panels; ++p) {
      const std::size_t col = p * width;
      const std::size_t cols = std::min(width, d - col);
      const float* src = copy ? strip.data() + p * rows * width : m.data() + first_row * d + col;
      const std::size_t stride = copy ? width : d;
      for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t t = p * groups + g;
        for (std::size_t at = next_bytes * t / tiles; at < next_bytes * (t + 1) / tiles; at += 64) {
          _mm_prefetch(next + at, _MM_HINT_T1);
        }
        const std::size_t vectors = std::min(kGroup, count - g * kGroup);
        column_tile_for(vectors, (cols + 7) / 8, cols % 8 != 0)(
            src, stride, rows, ys.data() + g * rows * kGroup, first_row == 0, mask,
            out + g * kGroup * d + col, d);
      }
    }
  }
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
