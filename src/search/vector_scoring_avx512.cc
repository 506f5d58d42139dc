// Compiled with AVX-512; reached only through score_vectors_with_metric
// after the processor check. Eight lanes per register, four registers per
// step (two for cosine, which keeps three sums), the last coordinates in one
// masked step.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the intrinsics' placeholder for unused lanes for an
// uninitialised read once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "search/vector_scoring.h"

namespace velq::filter {

namespace {

constexpr std::size_t kLanes = 8;

__mmask8 first_lanes(std::size_t count) { return static_cast<__mmask8>((1u << count) - 1); }

// Σ f(x_i, y_i) over i < m for a lane-wise term `add(acc, x, y)`, with
// `kChains` accumulators (their lanes added pairwise at the end).
template <std::size_t kChains, class Add>
double sum_terms(const double* a, const double* b, std::size_t m, const Add& add) {
  __m512d acc[kChains];
  for (auto& v : acc) v = _mm512_setzero_pd();
  std::size_t i = 0;
  for (; i + kChains * kLanes <= m; i += kChains * kLanes) {
    for (std::size_t c = 0; c < kChains; ++c) {
      acc[c] = add(acc[c], _mm512_loadu_pd(a + i + c * kLanes), _mm512_loadu_pd(b + i + c * kLanes));
    }
  }
  for (; i + kLanes <= m; i += kLanes) acc[0] = add(acc[0], _mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i));
  if (i < m) {
    // Lanes past m load zero, and every term of two zeros is zero.
    const __mmask8 live = first_lanes(m - i);
    acc[0] = add(acc[0], _mm512_maskz_loadu_pd(live, a + i), _mm512_maskz_loadu_pd(live, b + i));
  }
  for (std::size_t width = kChains; width > 1; width /= 2) {
    for (std::size_t c = 0; c < width / 2; ++c) acc[c] = _mm512_add_pd(acc[c], acc[c + width / 2]);
  }
  return _mm512_reduce_add_pd(acc[0]);
}

double dot(const double* a, const double* b, std::size_t m) {
  return sum_terms<4>(a, b, m, [](__m512d acc, __m512d x, __m512d y) { return _mm512_fmadd_pd(x, y, acc); });
}

double squared_distance(const double* a, const double* b, std::size_t m) {
  return sum_terms<4>(a, b, m, [](__m512d acc, __m512d x, __m512d y) {
    const __m512d d = _mm512_sub_pd(x, y);
    return _mm512_fmadd_pd(d, d, acc);
  });
}

double cosine(const double* a, const double* b, std::size_t m) {
  __m512d dot = _mm512_setzero_pd(), aa = _mm512_setzero_pd(), bb = _mm512_setzero_pd();
  const auto add = [&](__m512d x, __m512d y) {
    dot = _mm512_fmadd_pd(x, y, dot);
    aa = _mm512_fmadd_pd(x, x, aa);
    bb = _mm512_fmadd_pd(y, y, bb);
  };
  std::size_t i = 0;
  for (; i + kLanes <= m; i += kLanes) add(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i));
  if (i < m) {
    const __mmask8 live = first_lanes(m - i);
    add(_mm512_maskz_loadu_pd(live, a + i), _mm512_maskz_loadu_pd(live, b + i));
  }
  const double denom = std::sqrt(_mm512_reduce_add_pd(aa)) * std::sqrt(_mm512_reduce_add_pd(bb));
  if (denom == 0.0) return 0.0;
  return _mm512_reduce_add_pd(dot) / denom;
}

}  // namespace

double score_vectors_avx512(DistanceMetric metric, std::span<const double> a,
                            std::span<const double> b) {
  const std::size_t m = std::min(a.size(), b.size());
  if (metric == DistanceMetric::kIp) return dot(a.data(), b.data(), m);
  if (metric == DistanceMetric::kCosine) return cosine(a.data(), b.data(), m);
  return -std::sqrt(squared_distance(a.data(), b.data(), m));
}

const VectorScoringKernels& avx512_vector_scoring_kernels() {
  static constexpr VectorScoringKernels kAvx512 = {
      .name = "avx512", .score_vectors = score_vectors_avx512};
  return kAvx512;
}

}  // namespace velq::filter
