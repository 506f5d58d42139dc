// The L2 block bounds: every kernel form gives score_bound's bits for every
// code, damaged values (NaN, negative, infinite) and an unusable query
// included.
#include "quantizer/l2_bound.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

constexpr std::size_t kCodes = BlockedShape::kCodes;

std::vector<const l2_bound::L2BoundKernels*> forms() {
  std::vector<const l2_bound::L2BoundKernels*> out = {&l2_bound::portable_l2_bound_kernels()};
#if VELQ_X86
  if (has_avx2()) out.push_back(&l2_bound::avx2_l2_bound_kernels());
  if (has_avx512()) out.push_back(&l2_bound::avx512_l2_bound_kernels());
#endif
  return out;
}

TEST(L2Bound, KernelFormsGiveScoreBoundBits) {
  const ProdQuantizer q = ProdQuantizer::new_dense(48, 4, 3);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<float> unusual_f = {0.0f, -0.0f, -1.0f, 1e-42f, 3e38f, INFINITY, NAN};
  const std::vector<double> unusual_d = {0.0, -1.0, 1e-300, 1e300, kInf, -kInf, kNan};
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::size_t checked = 0, negative = 0, zero = 0;
  for (const double scale : {1e-3, 1.0, 1e3, kInf}) {
    std::vector<double> query(q.d());
    const std::vector<float> values = testing::random_vector(q.d(), 9);
    double query_sq = 0.0;
    for (std::size_t j = 0; j < q.d(); ++j) {
      query[j] = values[j] * scale;
      query_sq += query[j] * query[j];
    }
    if (!(query_sq < kInf)) query_sq = 1.0;
    // An infinite query narrows to infinities: prepare from a finite one.
    const std::vector<float> narrow(values.begin(), values.end());
    const PreparedIpQuery pq = q.prepare_ip_query(narrow);
    const L2ScoreBound bound(q, query, pq);
    for (int round = 0; round < 200; ++round) {
      double u[kCodes], squares[kCodes];
      float gammas[kCodes], norms[kCodes];
      for (std::size_t c = 0; c < kCodes; ++c) {
        // Scores near 0 and far, where the root's argument changes sign.
        u[c] = (unit(rng) * 1.5 - 0.25) * query_sq;
        gammas[c] = static_cast<float>(unit(rng));
        norms[c] = static_cast<float>(unit(rng) * 2.0);
        squares[c] = unit(rng) * 1.2;
        switch (rng() % 8) {
          case 0: u[c] = unusual_d[rng() % unusual_d.size()]; break;
          case 1: gammas[c] = unusual_f[rng() % unusual_f.size()]; break;
          case 2: norms[c] = unusual_f[rng() % unusual_f.size()]; break;
          case 3: squares[c] = unusual_d[rng() % unusual_d.size()]; break;
          default: break;
        }
      }
      double want[kCodes];
      double top = -kInf;
      for (std::size_t c = 0; c < kCodes; ++c) {
        want[c] = bound.score_bound(u[c], gammas[c], norms[c], squares[c]);
        top = std::max(top, want[c]);
      }
      for (std::size_t c = 0; c < kCodes; ++c) {
        negative += want[c] < 0.0;
        zero += want[c] == 0.0;
      }
      for (const auto* form : forms()) {
        double got[kCodes];
        const double got_top = bound.block_bounds(u, gammas, norms, squares, got, *form);
        ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << form->name << " round " << round;
        ASSERT_EQ(got_top, top) << form->name;
        // In place, as the scan calls it.
        double same[kCodes];
        std::memcpy(same, u, sizeof same);
        bound.block_bounds(same, gammas, norms, squares, same, *form);
        ASSERT_EQ(std::memcmp(same, want, sizeof same), 0) << form->name;
        ++checked;
      }
    }
  }
  EXPECT_GE(checked, 800u);
  // Both sides of the root's argument were met.
  EXPECT_GT(negative, 1000u);
  EXPECT_GT(zero, 1000u);
}

}  // namespace
}  // namespace velq
