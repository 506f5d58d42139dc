// Which road a search takes: a walk of the graph index, or a scan of every
// candidate's code. The thresholds that decide it, and the pool sizes each
// road keeps for rescoring, are named here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velq {

// Below this many active records a scan is as fast as a walk.
inline constexpr std::uint64_t kMinRecordsForGraph = 10'000;
// The graph is chosen only while the records written since its build (the
// delta, which every walk also scans) are at most one in this many.
inline constexpr std::uint64_t kMaxDeltaShare = 5;
// A filter with fewer candidates than active / kSelectiveDivisor is answered
// by a scan of its candidates: a walk would visit most of the graph to find
// them.
inline constexpr std::uint64_t kSelectiveDivisor = 20;
// Scans of fewer candidates score every one exactly: the first pass's bound
// tables would cost more than they save.
inline constexpr std::size_t kFirstPassMin = 2'048;
// With raw vectors kept, hits per requested result handed to rescoring: the
// scan's pool, and the graph walk's result list.
inline constexpr std::uint64_t kScanPoolPerResult = 10;
inline constexpr std::uint64_t kGraphPoolPerResult = 20;

enum class SearchRoad : std::uint8_t { kScan, kGraph };

struct RouteCounts {
  bool index_usable = false;  // a graph whose nodes all stand for slots
  std::uint64_t active = 0;   // active records
  std::uint64_t delta = 0;    // records written since the graph's build
};

// The road for one request. `use_ann` forces the choice when set (the graph
// still only when it is usable); unset, the graph is taken over a large
// corpus whose index covers most of it.
inline SearchRoad choose_road(const RouteCounts& counts, std::optional<bool> use_ann) {
  if (!counts.index_usable) return SearchRoad::kScan;
  const bool graph = use_ann.value_or(counts.active >= kMinRecordsForGraph &&
                                      kMaxDeltaShare * counts.delta <= counts.active);
  return graph ? SearchRoad::kGraph : SearchRoad::kScan;
}

// Whether a filter matching `candidates` of `active` records is answered by
// a scan of those candidates even though the graph road was chosen.
inline bool filter_too_selective(std::uint64_t candidates, std::uint64_t active) {
  return candidates < active / kSelectiveDivisor;
}

}  // namespace velq
