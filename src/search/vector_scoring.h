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

#include "search/distance_metric.h"

namespace velq::filter {

// The widest vector form the processor (and VELQ_MAX_ISA) allows, else the
// portable one. The forms differ at most in the last bits (summation order).
double score_vectors_with_metric(DistanceMetric metric, std::span<const double> a,
                                 std::span<const double> b);

// One pass in coordinate order, each sum starting at -0.0.
double score_vectors_portable(DistanceMetric metric, std::span<const double> a,
                              std::span<const double> b);

// Four-lane accumulators with fused multiply-add. REQUIRES: AVX2 and FMA.
double score_vectors_avx2(DistanceMetric metric, std::span<const double> a,
                          std::span<const double> b);

// Eight-lane accumulators with fused multiply-add. REQUIRES: has_avx512().
double score_vectors_avx512(DistanceMetric metric, std::span<const double> a,
                            std::span<const double> b);

}  // namespace velq::filter
