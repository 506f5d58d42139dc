#include "storage/metadata/filter_candidates.h"

#include <algorithm>
#include <span>

#include "storage/metadata/filter_extract.h"
#include "storage/metadata/slot_intersect.h"

namespace velq::filter {

std::optional<IndexCandidates> index_candidates(const MetadataStore& store,
                                                const JsonObject& filter) {
  if (const auto pairs = extract_indexable_eq(filter)) {
    // Every pair must be answerable before any list is worth intersecting.
    std::vector<std::span<const std::uint32_t>> lists;
    lists.reserve(pairs->size());
    for (const EqCondition& pair : *pairs) {
      const auto slots = store.get_eq_candidates(pair.field, *pair.value);
      if (!slots) return std::nullopt;
      lists.push_back(*slots);
    }
    // Shortest first: the running result only shrinks, and a short list
    // against a long one takes the galloping road.
    std::ranges::sort(lists, {}, &std::span<const std::uint32_t>::size);
    IndexCandidates result{{lists[0].begin(), lists[0].end()}, true};
    for (std::size_t i = 1; i < lists.size() && !result.slots.empty(); ++i) {
      result.slots = intersect_slots(result.slots, lists[i]);
    }
    return result;
  }
  if (const auto range = extract_range_condition(filter)) {
    auto slots = store.get_range_candidates(range->field, range->lower, range->upper);
    if (!slots) return std::nullopt;
    return IndexCandidates{std::move(*slots), false};
  }
  return std::nullopt;
}

}  // namespace velq::filter
