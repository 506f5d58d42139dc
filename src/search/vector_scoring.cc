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
  return active_vector_scoring_kernels().score_vectors(metric, a, b);
}

const VectorScoringKernels& portable_vector_scoring_kernels() {
  static constexpr VectorScoringKernels kPortable = {.name = "portable",
                                                     .score_vectors = score_vectors_portable};
  return kPortable;
}

const VectorScoringKernels& active_vector_scoring_kernels() {
  static const VectorScoringKernels& chosen =
      widest_kernels(portable_vector_scoring_kernels, VELQ_X86_KERNELS(avx2_vector_scoring_kernels),
                     VELQ_X86_KERNELS(avx512_vector_scoring_kernels));
  return chosen;
}

}  // namespace velq::filter
