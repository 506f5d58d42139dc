#include "storage/metadata/slot_intersect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "storage/metadata/slot_intersect_kernels.h"

namespace velq {
namespace {

using Slots = std::vector<std::uint32_t>;

Slots random_slots(std::mt19937& rng, std::size_t n, std::uint32_t range) {
  std::uniform_int_distribution<std::uint32_t> pick(0, range);
  Slots v(n);
  for (auto& s : v) s = pick(rng);
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

Slots reference_intersection(const Slots& a, const Slots& b) {
  Slots out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// Sizes reach the merge and galloping roads in both argument orders, empty
// inputs, and densities from nearly equal lists to nearly disjoint ones.
TEST(SlotLists, IntersectionMatchesSetIntersection) {
  std::mt19937 rng(7);
  const std::size_t sizes[] = {0, 1, 2, 5, 40, 300, 5000};
  for (std::size_t na : sizes) {
    for (std::size_t nb : sizes) {
      for (std::uint32_t range : {10u, 1000u, 100000u}) {
        const Slots a = random_slots(rng, na, range);
        const Slots b = random_slots(rng, nb, range);
        EXPECT_EQ(intersect_slots(a, b), reference_intersection(a, b))
            << na << " x " << nb << " in " << range;
      }
    }
  }
}

TEST(SlotLists, GallopFindsBothEnds) {
  Slots large(10000);
  for (std::uint32_t i = 0; i < large.size(); ++i) large[i] = 2 * i;
  const Slots small = {0, 1, 9999, 19998, 19999, 40000};
  EXPECT_EQ(intersect_slots(small, large), (Slots{0, 19998}));
  EXPECT_EQ(intersect_slots(large, small), (Slots{0, 19998}));
}

// The block kernel against the portable merge, with lengths around the
// eight-slot block size so every tail length occurs.
TEST(SlotLists, Avx2MergeMatchesPortable) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(9);
  for (int round = 0; round < 2000; ++round) {
    const Slots a = random_slots(rng, rng() % 70, 1 + rng() % 200);
    const Slots b = random_slots(rng, rng() % 70, 1 + rng() % 200);
    Slots out(std::min(a.size(), b.size()) + slot_kernels::kSlotMergeSlack);
    out.resize(slot_kernels::merge_intersect_avx2(a.data(), a.size(), b.data(), b.size(),
                                                  out.data()));
    ASSERT_EQ(out, reference_intersection(a, b)) << "round " << round;
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

}  // namespace
}  // namespace velq
