#include "engine/state/search_route.h"

#include <gtest/gtest.h>

namespace velq {
namespace {

TEST(SearchRoute, AutomaticRuleNeedsALargeCorpusMostlyIndexed) {
  const auto road = [](std::uint64_t active, std::uint64_t delta) {
    return choose_road(RouteCounts{true, active, delta}, std::nullopt);
  };
  EXPECT_EQ(road(kMinRecordsForGraph - 1, 0), SearchRoad::kScan);
  EXPECT_EQ(road(kMinRecordsForGraph, 0), SearchRoad::kGraph);
  // A delta of exactly a fifth still walks; one record more scans.
  EXPECT_EQ(road(50'000, 10'000), SearchRoad::kGraph);
  EXPECT_EQ(road(50'000, 10'001), SearchRoad::kScan);
}

TEST(SearchRoute, ForcedChoiceWinsExceptWithoutAUsableIndex) {
  const RouteCounts small{true, 10, 9};
  EXPECT_EQ(choose_road(small, true), SearchRoad::kGraph);
  const RouteCounts large{true, 1'000'000, 0};
  EXPECT_EQ(choose_road(large, false), SearchRoad::kScan);
  const RouteCounts unusable{false, 1'000'000, 0};
  EXPECT_EQ(choose_road(unusable, true), SearchRoad::kScan);
  EXPECT_EQ(choose_road(unusable, std::nullopt), SearchRoad::kScan);
}

TEST(SearchRoute, SelectiveFilterFallsBackBelowOneTwentieth) {
  EXPECT_TRUE(filter_too_selective(49, 1'000));
  EXPECT_FALSE(filter_too_selective(50, 1'000));
  EXPECT_FALSE(filter_too_selective(0, 19));  // under twenty records, never
}

}  // namespace
}  // namespace velq
