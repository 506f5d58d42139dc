// AVX-512 form of the blocked product. A row's eight lane sums (the AVX2
// form's: coordinate j in sum j mod 8, fused multiply-adds) cannot share a
// sixteen-lane register with the same row's next eight coordinates without
// splitting each sum in two, so this form turns the product around: each
// lane is one output, and a tile keeps the eight sums of 48 outputs in 24
// registers while it walks the coordinates in order down the transpose,
// one broadcast coordinate per row of it. Every output then takes the AVX2
// form's terms in its order and adds its sums in the same tree: the bits
// are the AVX2 form's. Rows of the transpose are read 192 bytes at a time,
// whole cache lines when d is a multiple of 16 and the transpose is aligned
// to them (the quantizer's are). Batches, and matrices too large to stay in
// the core's cache, take the AVX2 rows.
#include <immintrin.h>

#include "common/cache_size.h"
#include "linalg/blocked_product.h"
#include "linalg/transposed_tiles.h"

namespace velq::linalg {

namespace {

using tiles::unrolled;

constexpr std::size_t kLanes = 16;
// The AVX2 form's lane sums per output.
constexpr std::size_t kSums = 8;
// Registers of outputs per tile: 3 × 8 sums take 24 of the 32 registers.
constexpr std::size_t kGroups = 3;
constexpr std::size_t kTileOutputs = kGroups * kLanes;

// The AVX2 form's tree: (0+4, 1+5, 2+6, 3+7), then (0+2, 1+3), then the two.
__m512 sum_tree(const __m512* s) {
  const __m512 a = _mm512_add_ps(_mm512_add_ps(s[0], s[4]), _mm512_add_ps(s[2], s[6]));
  const __m512 b = _mm512_add_ps(_mm512_add_ps(s[1], s[5]), _mm512_add_ps(s[3], s[7]));
  return _mm512_add_ps(a, b);
}

// Outputs first … first + 16·G − 1 (kMasked: the last register holds only
// the lanes `tail` marks, and the others are neither read nor written).
template <std::size_t G, bool kMasked>
void column_tile(const float* x, const float* mt, std::size_t d, std::size_t first,
                 __mmask16 tail, float* out) {
  const auto column = [&](std::size_t j, auto g) {
    const float* p = mt + j * d + first + g * kLanes;
    if constexpr (kMasked && g == G - 1) {
      return _mm512_maskz_loadu_ps(tail, p);
    } else {
      return _mm512_loadu_ps(p);
    }
  };
  __m512 acc[G][kSums];
  unrolled<G>([&](auto g) { unrolled<kSums>([&](auto r) { acc[g][r] = _mm512_setzero_ps(); }); });
  std::size_t j = 0;
  for (; j + kSums <= d; j += kSums) {
    unrolled<kSums>([&](auto r) {
      const __m512 xj = _mm512_set1_ps(x[j + r]);
      unrolled<G>([&](auto g) { acc[g][r] = _mm512_fmadd_ps(xj, column(j + r, g), acc[g][r]); });
    });
  }
  unrolled<G>([&](auto g) {
    __m512 s = sum_tree(acc[g]);
    for (std::size_t t = j; t < d; ++t) s = _mm512_fmadd_ps(column(t, g), _mm512_set1_ps(x[t]), s);
    float* o = out + first + g * kLanes;
    if constexpr (kMasked && g == G - 1) {
      _mm512_mask_storeu_ps(o, tail, s);
    } else {
      _mm512_storeu_ps(o, s);
    }
  });
}

void query_product(const float* x, const float* m, std::span<const float> mt, std::size_t d,
                   std::size_t first, std::size_t last, float* out) {
  // A query reads two matrices. Where they outgrow the core's private cache
  // the product streams from farther out, and the rows, read from start to
  // end, stream best; the columns are walked only while both stay cached.
  static const std::size_t cache_bytes = private_cache_bytes();
  if (mt.empty() || 2 * mt.size() * sizeof(float) > cache_bytes) {
    avx2_blocked_kernels().row_products(x, m + first * d, last - first, d, out + first);
    return;
  }
  std::size_t i = first;
  for (; i + kTileOutputs <= last; i += kTileOutputs) {
    column_tile<kGroups, false>(x, mt.data(), d, i, 0, out);
  }
  const std::size_t left = last - i;
  if (left == 0) return;
  const std::size_t in_last = left % kLanes == 0 ? kLanes : left % kLanes;
  const auto tail = static_cast<__mmask16>((1u << in_last) - 1u);
  static_assert(kGroups == 3, "the tail takes 1 to 3 registers");
  switch ((left + kLanes - 1) / kLanes) {
    case 1:
      column_tile<1, true>(x, mt.data(), d, i, tail, out);
      break;
    case 2:
      column_tile<2, true>(x, mt.data(), d, i, tail, out);
      break;
    default:
      column_tile<3, true>(x, mt.data(), d, i, tail, out);
  }
}

}  // namespace

const BlockedProductKernels& avx512_blocked_kernels() {
  // Batches keep the AVX2 rows: a group of rows serves every vector while
  // it is cached.
  static const BlockedProductKernels kAvx512 = {.name = "avx512",
                                                .row_products = avx2_blocked_kernels().row_products,
                                                .query_product = query_product};
  return kAvx512;
}

}  // namespace velq::linalg
