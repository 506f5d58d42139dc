#include "storage/engine/filter_candidates.h"

#include "storage/engine/filter_extract.h"
#include "storage/engine/slot_lists.h"

namespace velq::filter {

std::optional<IndexCandidates> index_candidates(const MetadataStore& store,
                                                const JsonObject& filter) {
  if (const auto pairs = extract_indexable_eq(filter)) {
    IndexCandidates result{{}, true};
    for (std::size_t i = 0; i < pairs->size(); ++i) {
      const EqCondition& pair = (*pairs)[i];
      const auto slots = store.get_eq_candidates(pair.field, *pair.value);
      if (!slots) return std::nullopt;
      if (i == 0) {
        result.slots.assign(slots->begin(), slots->end());
      } else {
        result.slots = intersect_slots(result.slots, *slots);
      }
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
