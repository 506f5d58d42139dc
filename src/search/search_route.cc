#include "search/search_route.h"

namespace velq {

SearchRoad choose_road(const RouteCounts& counts, std::optional<bool> use_ann) {
  if (!counts.index_usable) return SearchRoad::kScan;
  const bool graph = use_ann.value_or(counts.active >= kMinRecordsForGraph &&
                                      kMaxDeltaShare * counts.delta <= counts.active);
  return graph ? SearchRoad::kGraph : SearchRoad::kScan;
}

bool filter_too_selective(std::uint64_t candidates, std::uint64_t active) {
  return candidates < active / kSelectiveDivisor;
}

}  // namespace velq
