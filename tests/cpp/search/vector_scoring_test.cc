// The raw-vector kernel: the metric formulas and their edge values, and the
// vector forms agreeing with the portable one over lengths that hit every
// loop tail.
#include "search/vector_scoring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"

namespace velq::filter {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::kIp, DistanceMetric::kCosine,
                                       DistanceMetric::kL2};

using Form = double (*)(DistanceMetric, std::span<const double>, std::span<const double>);

// The vector forms this processor runs, widest last (VELQ_MAX_ISA may lower it).
std::vector<Form> vector_forms() {
  std::vector<Form> forms;
#if VELQ_X86
  if (has_avx2()) forms.push_back(score_vectors_avx2);
  if (has_avx512()) forms.push_back(score_vectors_avx512);
#endif
  return forms;
}

TEST(VectorScoring, MetricFormulas) {
  const std::vector<double> a = {1.0, 2.0, 2.0};
  const std::vector<double> b = {4.0, 0.0, 3.0};
  EXPECT_DOUBLE_EQ(score_vectors_portable(DistanceMetric::kIp, a, b), 10.0);
  EXPECT_DOUBLE_EQ(score_vectors_portable(DistanceMetric::kCosine, a, b), 10.0 / 15.0);
  EXPECT_DOUBLE_EQ(score_vectors_portable(DistanceMetric::kL2, a, b), -std::sqrt(9.0 + 4.0 + 1.0));
  // Distance 5 scores -5.
  EXPECT_EQ(score_vectors_portable(DistanceMetric::kL2, std::vector<double>{0, 0},
                                   std::vector<double>{3, 4}),
            -5.0);
}

TEST(VectorScoring, EdgeValuesInEveryForm) {
  const std::vector<double> zero(9, 0.0);
  const std::vector<double> x = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<Form> forms = vector_forms();
  forms.push_back(score_vectors_portable);
  for (const auto form : forms) {
    // A zero vector on either side gives a cosine of 0, not NaN.
    EXPECT_EQ(form(DistanceMetric::kCosine, zero, x), 0.0);
    EXPECT_EQ(form(DistanceMetric::kCosine, x, zero), 0.0);
    // Equal vectors are at distance -0.0.
    const double same = form(DistanceMetric::kL2, x, x);
    EXPECT_EQ(same, 0.0);
    EXPECT_TRUE(std::signbit(same));
    // The shorter length decides.
    EXPECT_EQ(form(DistanceMetric::kIp, std::span(x).first(3), x), 14.0);
    // NaN propagates; an unknown metric value scores as L2.
    std::vector<double> nan = x;
    nan[4] = std::numeric_limits<double>::quiet_NaN();
    for (const DistanceMetric m : kMetrics) EXPECT_TRUE(std::isnan(form(m, nan, x)));
    EXPECT_EQ(form(static_cast<DistanceMetric>(7), std::vector<double>{0, 0},
                   std::vector<double>{3, 4}),
              -5.0);
  }
}

TEST(VectorScoring, VectorFormsAgreeWithPortable) {
  const std::vector<Form> forms = vector_forms();
  if (forms.empty()) GTEST_SKIP() << "no vector form on this processor";
  std::mt19937_64 gen(11);
  std::normal_distribution<double> normal;
  for (const std::size_t len : {1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 100, 384, 768}) {
    std::vector<double> a(len), b(len);
    for (std::size_t i = 0; i < len; ++i) {
      a[i] = normal(gen);
      b[i] = normal(gen);
    }
    for (const DistanceMetric m : kMetrics) {
      const double want = score_vectors_portable(m, a, b);
      for (const Form form : forms) {
        EXPECT_NEAR(form(m, a, b), want, 1e-12 * (1.0 + std::abs(want))) << "len " << len;
      }
      EXPECT_EQ(score_vectors_with_metric(m, a, b), forms.back()(m, a, b));
    }
  }
}

}  // namespace
}  // namespace velq::filter
