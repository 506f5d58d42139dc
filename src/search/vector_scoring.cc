#include "search/vector_scoring.h"

#include <algorithm>
#include <cmath>

#include "common/cpu_features.h"

namespace velq::filter {

double score_vectors_portable(DistanceMetric metric, std::span<const double> a,
                              std::span<const double> b) {
  const std::size_t m = std::min(a.size(), b.size());
  if (metric == DistanceMetric::kIp) {
    double dot = -0.0;
    for (std::size_t i = 0; i < m; ++i) dot += a[i] * b[i];
    return dot;
  }
  if (metric == DistanceMetric::kCosine) {
    double dot = -0.0;
    double aa = -0.0;
    double bb = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
      dot += a[i] * b[i];
      aa += a[i] * a[i];
      bb += b[i] * b[i];
    }
    if (aa == 0.0 || bb == 0.0) return 0.0;
    return dot / (std::sqrt(aa) * std::sqrt(bb));
  }
  double sum = -0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double diff = a[i] - b[i];
    sum += diff * diff;
  }
  return -std::sqrt(sum);
}

double score_vectors_with_metric(DistanceMetric metric, std::span<const double> a,
                                 std::span<const double> b) {
#if VELQ_X86
  if (has_avx512()) return score_vectors_avx512(metric, a, b);
  if (has_avx2_fma()) return score_vectors_avx2(metric, a, b);
#endif
  return score_vectors_portable(metric, a, b);
}

}  // namespace velq::filter
