// Compiled with -mavx2 -mfma; reached only through score_vectors_with_metric
// after the processor check.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "search/vector_scoring.h"

namespace velq::filter {

namespace {

double lane_sum(__m256d v) {
  // Lanes added pairwise: (l0 + l1) + (l2 + l3).
  alignas(32) double l[4];
  _mm256_store_pd(l, v);
  return (l[0] + l[1]) + (l[2] + l[3]);
}

double dot_avx2(const double* a, const double* b, std::size_t m) {
  __m256d acc0 = _mm256_setzero_pd();
  __m256d acc1 = _mm256_setzero_pd();
  __m256d acc2 = _mm256_setzero_pd();
  __m256d acc3 = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 16 <= m; i += 16) {
    acc0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), acc0);
    acc1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), acc1);
    acc2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), acc2);
    acc3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), acc3);
  }
  for (; i + 4 <= m; i += 4) {
    acc0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), acc0);
  }
  double sum = lane_sum(_mm256_add_pd(_mm256_add_pd(acc0, acc1), _mm256_add_pd(acc2, acc3)));
  for (; i < m; ++i) sum += a[i] * b[i];
  return sum;
}

double squared_distance_avx2(const double* a, const double* b, std::size_t m) {
  __m256d acc[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(),
                    _mm256_setzero_pd()};
  std::size_t i = 0;
  for (; i + 16 <= m; i += 16) {
    for (int g = 0; g < 4; ++g) {
      const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(a + i + 4 * g), _mm256_loadu_pd(b + i + 4 * g));
      acc[g] = _mm256_fmadd_pd(d, d, acc[g]);
    }
  }
  for (; i + 4 <= m; i += 4) {
    const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i));
    acc[0] = _mm256_fmadd_pd(d, d, acc[0]);
  }
  double sum = lane_sum(_mm256_add_pd(_mm256_add_pd(acc[0], acc[1]), _mm256_add_pd(acc[2], acc[3])));
  for (; i < m; ++i) {
    const double d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

double cosine_avx2(const double* a, const double* b, std::size_t m) {
  __m256d dot = _mm256_setzero_pd();
  __m256d aa = _mm256_setzero_pd();
  __m256d bb = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 8 <= m; i += 8) {
    for (std::size_t g = 0; g < 8; g += 4) {
      const __m256d x = _mm256_loadu_pd(a + i + g);
      const __m256d y = _mm256_loadu_pd(b + i + g);
      dot = _mm256_fmadd_pd(x, y, dot);
      aa = _mm256_fmadd_pd(x, x, aa);
      bb = _mm256_fmadd_pd(y, y, bb);
    }
  }
  for (; i + 4 <= m; i += 4) {
    const __m256d x = _mm256_loadu_pd(a + i);
    const __m256d y = _mm256_loadu_pd(b + i);
    dot = _mm256_fmadd_pd(x, y, dot);
    aa = _mm256_fmadd_pd(x, x, aa);
    bb = _mm256_fmadd_pd(y, y, bb);
  }
  double d = lane_sum(dot);
  double sa = lane_sum(aa);
  double sb = lane_sum(bb);
  for (; i < m; ++i) {
    d += a[i] * b[i];
    sa += a[i] * a[i];
    sb += b[i] * b[i];
  }
  const double denom = std::sqrt(sa) * std::sqrt(sb);
  if (denom == 0.0) return 0.0;
  return d / denom;
}

}  // namespace

double score_vectors_avx2(DistanceMetric metric, std::span<const double> a,
                          std::span<const double> b) {
  const std::size_t m = std::min(a.size(), b.size());
  if (metric == DistanceMetric::kIp) return dot_avx2(a.data(), b.data(), m);
  if (metric == DistanceMetric::kCosine) return cosine_avx2(a.data(), b.data(), m);
  return -std::sqrt(squared_distance_avx2(a.data(), b.data(), m));
}

const VectorScoringKernels& avx2_vector_scoring_kernels() {
  static constexpr VectorScoringKernels kAvx2 = {
      .name = "avx2", .score_vectors = score_vectors_avx2};
  return kAvx2;
}

}  // namespace velq::filter
