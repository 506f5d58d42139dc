// Full-precision similarity of two real vectors under a database's metric:
// the rescoring kernel of every search road and of index building with raw
// vectors. Every score grows as the vectors get closer:
//   kIp      dot = sum a_i*b_i
//   kCosine  dot / (|a|*|b|), 0.0 when either sum of squares is exactly 0
//   kL2      -sqrt(sum (a_i-b_i)^2); equal vectors give -0.0
// Only the first min(a.size(), b.size()) coordinates are used. NaN and
// infinities propagate (a NaN cosine denominator is divided by).
#pragma once

#include <cstdint>
#include <span>

#include "common/distance_metric.h"

namespace velq::filter {

// The widest vector form the processor (and VELQ_MAX_ISA) allows, else the
// portable one. The forms differ at most in the last bits (summation order).
double score_vectors_with_metric(DistanceMetric metric, std::span<const double> a,
                                 std::span<const double> b);

// One pass in coordinate order, each sum starting at -0.0.
double score_vectors_portable(DistanceMetric metric, std::span<const double> a,
                              std::span<const double> b);

struct VectorScoringKernels {
  const char* name;
  double (*score_vectors)(DistanceMetric metric, std::span<const double> a,
                          std::span<const double> b);
};
const VectorScoringKernels& portable_vector_scoring_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const VectorScoringKernels& avx2_vector_scoring_kernels();
// REQUIRES: has_avx512().
const VectorScoringKernels& avx512_vector_scoring_kernels();

// Four-lane accumulators with fused multiply-add.
double score_vectors_avx2(DistanceMetric metric, std::span<const double> a,
                          std::span<const double> b);

// Eight-lane accumulators with fused multiply-add.
double score_vectors_avx512(DistanceMetric metric, std::span<const double> a,
                            std::span<const double> b);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const VectorScoringKernels& active_vector_scoring_kernels();

}  // namespace velq::filter
