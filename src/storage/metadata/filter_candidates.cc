#include "storage/metadata/filter_candidates.h"

#include <algorithm>
#include <span>

#include "storage/metadata/slot_intersect.h"

namespace velq::filter {
namespace {

// A field path the indexes can look up: it names a top-level property.
bool is_indexable_path(std::string_view key) {
  return !key.starts_with('$') && key.find('.') == std::string_view::npos;
}

}  // namespace

std::optional<std::vector<EqCondition>> extract_indexable_eq(const JsonObject& filter) {
  if (filter.empty()) return std::nullopt;
  std::vector<EqCondition> pairs;
  pairs.reserve(filter.size());
  for (const auto& [key, value] : filter) {
    if (!is_indexable_path(key)) return std::nullopt;
    if (!value.is_object()) {
      pairs.push_back({key, &value});
      continue;
    }
    const JsonObject& ops = value.as_object();
    if (ops.size() != 1 || ops.begin()->key() != "$eq") return std::nullopt;
    pairs.push_back({key, &ops.begin()->value});
  }
  return pairs;
}

std::optional<RangeCondition> extract_range_condition(const JsonObject& filter) {
  if (filter.size() != 1) return std::nullopt;
  const auto& [key, value] = *filter.begin();
  if (!is_indexable_path(key) || !value.is_object()) return std::nullopt;
  RangeCondition range{key, RangeBound::unbounded(), RangeBound::unbounded()};
  // Keys iterate in ascending byte order ("$gt" < "$gte" < "$lt" < "$lte"),
  // so the inclusive operator of a side is seen last and wins.
  for (const auto& [op, operand] : value.as_object()) {
    const std::optional<std::uint64_t> key_of_bound = number_order_key(operand);
    if (!key_of_bound) return std::nullopt;
    if (op == "$gt") {
      range.lower = RangeBound::exclusive(*key_of_bound);
    } else if (op == "$gte") {
      range.lower = RangeBound::inclusive(*key_of_bound);
    } else if (op == "$lt") {
      range.upper = RangeBound::exclusive(*key_of_bound);
    } else if (op == "$lte") {
      range.upper = RangeBound::inclusive(*key_of_bound);
    } else {
      return std::nullopt;
    }
  }
  if (range.lower.is_unbounded() && range.upper.is_unbounded()) return std::nullopt;
  return range;
}

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
