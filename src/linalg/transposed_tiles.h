// The strip-and-tile walk shared by the vector forms of mat_t_vecs; only the
// register width and the tile kernels differ between instruction sets.
//
// Only the *_avx*.cc files include this header. Everything here is a
// template over an `Isa` type each of them declares in an unnamed
// namespace, so every instantiation stays inside the file compiled with its
// own instruction set and none can be shared with a less capable caller.
//
// An Isa provides: kLanes, the outputs per register Vec; Mask and
// tail_mask(d), the lanes of a row's last, partial block; zero, set1,
// load(p), load(p, mask) (masked-off lanes read as zero and touch no
// memory), store(p, v), store(p, mask, v), add and mul (never fused);
// blocks_for(v), register blocks per tile for v vectors; and the tag types
// StripTag and ValuesTag for its scratch buffers.
#pragma once

#include <xmmintrin.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "common/thread_scratch.h"
#include "linalg/dense.h"

namespace velq::linalg::tiles {

// Vectors per register tile; their values for a strip's rows are
// interleaved, ys[i·kGroup + v].
inline constexpr std::size_t kGroup = 4;

// Rows per strip: a strip of the matrix and the batch's values for its rows
// stay in L1 while every vector group passes over the strip.
inline constexpr std::size_t kStripRows = 64;

// ys[(g·rows + i)·kGroup + v] = y[(g·kGroup + v)·d + i] for the vectors of each
// group g and i < rows. A template only so that each instruction set keeps
// its own copy.
template <typename Isa>
void group_values(const float* y, std::size_t d, std::size_t count, std::size_t rows, float* ys) {
  for (std::size_t v = 0; v < count; ++v) {
    float* dst = ys + (v / kGroup) * rows * kGroup + v % kGroup;
    for (std::size_t i = 0; i < rows; ++i) dst[i * kGroup] = y[v * d + i];
  }
}

// f(K) for K = 0 … N−1, each index a compile-time constant: accumulators
// indexed by K are then separate registers, not a stack array the loop
// stores to on every row.
template <std::size_t N, typename F>
inline void unrolled(F&& f) {
  [&]<std::size_t... K>(std::index_sequence<K...>) {
    (f(std::integral_constant<std::size_t, K>{}), ...);
  }(std::make_index_sequence<N>{});
}

// A register tile: V vectors × O blocks of kLanes outputs, all V·O sums held
// in registers across a strip of `rows` rows, `stride` apart. Each lane is
// one output, taking its terms in row order, a multiply then an add, as
// mat_t_vec does; lanes never mix, so the tiling changes no bits. ys: the
// group's interleaved values; out: offset to the tile's first column, its
// vectors d apart. `fresh`: the strip starts at the matrix's first row, so
// the sums start at zero rather than from out. kMasked: the last block holds
// only the outputs `mask` marks; its other lanes are never stored.
template <typename Isa>
using ColumnTile = void (*)(const float* strip, std::size_t stride, std::size_t rows,
                            const float* ys, bool fresh, typename Isa::Mask mask, float* out,
                            std::size_t d);

template <typename Isa, std::size_t V, std::size_t O, bool kMasked>
void column_tile(const float* strip, std::size_t stride, std::size_t rows, const float* ys,
                 bool fresh, typename Isa::Mask mask, float* out, std::size_t d) {
  using Vec = typename Isa::Vec;
  constexpr std::size_t kLanes = Isa::kLanes;
  const auto load = [mask](const float* p, auto o) {
    if constexpr (kMasked && o == O - 1) {
      return Isa::load(p, mask);
    } else {
      return Isa::load(p);
    }
  };
  // acc[v·O + o]: vector v, block o.
  Vec acc[V * O];
  unrolled<V * O>([&](auto k) {
    constexpr std::size_t v = k / O;
    constexpr std::integral_constant<std::size_t, k % O> o;
    acc[k] = fresh ? Isa::zero() : load(out + v * d + kLanes * o, o);
  });
  for (std::size_t i = 0; i < rows; ++i) {
    Vec r[O];
    unrolled<O>([&](auto o) { r[o] = load(strip + i * stride + kLanes * o, o); });
    unrolled<V>([&](auto v) {
      const Vec yi = Isa::set1(ys[i * kGroup + v]);
      unrolled<O>([&](auto o) { acc[v * O + o] = Isa::add(acc[v * O + o], Isa::mul(r[o], yi)); });
    });
  }
  unrolled<V * O>([&](auto k) {
    constexpr std::size_t v = k / O, o = k % O;
    float* dst = out + v * d + kLanes * o;
    if constexpr (kMasked && o == O - 1) {
      Isa::store(dst, mask, acc[k]);
    } else {
      Isa::store(dst, acc[k]);
    }
  });
}

// Copies rows [0, rows) of the d-column matrix at m into strip, cut into
// panels of `width` columns: column c of row i goes to
// strip[((c / width)·rows + i)·width + c % width], and the columns past d in
// the last block are zero. Matrix rows lie d floats apart, a multiple of the
// cache's set stride at the usual dimensions: read in place by several
// vector groups, a panel's rows would crowd a few cache sets and miss all the
// time; packed, they do not, and the copy reads each row in one sweep.
template <typename Isa>
void copy_strip(const float* m, std::size_t d, std::size_t rows, std::size_t width,
                typename Isa::Mask mask, float* strip) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = m + i * d;
    float* panel = strip + i * width;
    for (std::size_t col = 0; col < d; col += width, panel += rows * width) {
      for (std::size_t c = col; c < std::min(d, col + width); c += Isa::kLanes) {
        Isa::store(panel + (c - col),
                   c + Isa::kLanes <= d ? Isa::load(row + c) : Isa::load(row + c, mask));
      }
    }
  }
}

template <typename Isa, std::size_t V, std::size_t O>
ColumnTile<Isa> column_tile_for(std::size_t blocks, bool masked) {
  if constexpr (O > 1) {
    if (blocks < O) return column_tile_for<Isa, V, O - 1>(blocks, masked);
  }
  return masked ? column_tile<Isa, V, O, true> : column_tile<Isa, V, O, false>;
}

template <typename Isa>
ColumnTile<Isa> column_tile_for(std::size_t vectors, std::size_t blocks, bool masked) {
  switch (vectors) {
    case 1: return column_tile_for<Isa, 1, Isa::blocks_for(1)>(blocks, masked);
    case 2: return column_tile_for<Isa, 2, Isa::blocks_for(2)>(blocks, masked);
    case 3: return column_tile_for<Isa, 3, Isa::blocks_for(3)>(blocks, masked);
    default: return column_tile_for<Isa, kGroup, Isa::blocks_for(kGroup)>(blocks, masked);
  }
}

// mat_t_vecs, strip after strip of rows, each strip's tiles column panel
// by panel.
template <typename Isa>
void transposed_products(std::span<const float> m, std::size_t d, const float* y,
                         std::size_t count, float* out) {
  check_dense_shapes(m, d, d);
  if (count == 0 || d == 0) return;
  // Tiles as wide as the largest vector group allows; a smaller last group
  // keeps the width with fewer sums. A single group reads the matrix once,
  // in place; several read a packed copy of each strip (see copy_strip).
  const std::size_t width = Isa::kLanes * Isa::blocks_for(std::min(count, kGroup));
  const bool copy = count > kGroup;
  const std::size_t panels = (d + width - 1) / width;
  const std::span<float> strip =
      thread_scratch<typename Isa::StripTag>(copy ? kStripRows * panels * width : 0);
  const std::size_t groups = (count + kGroup - 1) / kGroup;
  const std::span<float> ys =
      thread_scratch<typename Isa::ValuesTag>(groups * kGroup * kStripRows);
  const typename Isa::Mask mask = Isa::tail_mask(d);
  for (std::size_t first_row = 0; first_row < d; first_row += kStripRows) {
    const std::size_t rows = std::min(kStripRows, d - first_row);
    group_values<Isa>(y + first_row, d, count, rows, ys.data());
    if (copy) copy_strip<Isa>(m.data() + first_row * d, d, rows, width, mask, strip.data());
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
        const std::size_t blocks = (cols + Isa::kLanes - 1) / Isa::kLanes;
        column_tile_for<Isa>(vectors, blocks, cols % Isa::kLanes != 0)(
            src, stride, rows, ys.data() + g * rows * kGroup, first_row == 0, mask,
            out + g * kGroup * d + col, d);
      }
    }
  }
}

// mat_t_vec: four rows per sweep over the output, each out[j] still taking
// the terms in row order; the last, partial block goes through masked lanes.
template <typename Isa>
void transposed_product(std::span<const float> m, std::size_t d, std::span<const float> y,
                        std::span<float> out) {
  check_dense_shapes(m, d, out.size());
  check_dense_input(y.size(), d);
  std::fill_n(out.begin(), d, 0.0f);
  const float* a = m.data();
  float* o = out.data();
  const typename Isa::Mask tail = Isa::tail_mask(d);
  std::size_t i = 0;
  for (; i + 4 <= d; i += 4) {
    const float* r[4] = {a + i * d, a + (i + 1) * d, a + (i + 2) * d, a + (i + 3) * d};
    const typename Isa::Vec yv[4] = {Isa::set1(y[i]), Isa::set1(y[i + 1]), Isa::set1(y[i + 2]),
                                     Isa::set1(y[i + 3])};
    std::size_t j = 0;
    for (; j + Isa::kLanes <= d; j += Isa::kLanes) {
      typename Isa::Vec v = Isa::load(o + j);
      for (int k = 0; k < 4; ++k) v = Isa::add(v, Isa::mul(Isa::load(r[k] + j), yv[k]));
      Isa::store(o + j, v);
    }
    if (j < d) {
      typename Isa::Vec v = Isa::load(o + j, tail);
      for (int k = 0; k < 4; ++k) v = Isa::add(v, Isa::mul(Isa::load(r[k] + j, tail), yv[k]));
      Isa::store(o + j, tail, v);
    }
  }
  accumulate_rows(a, d, y.data(), i, o);
}

}  // namespace velq::linalg::tiles
