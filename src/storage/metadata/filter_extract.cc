#include "storage/metadata/filter_extract.h"

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

}  // namespace velq::filter
