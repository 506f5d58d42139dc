// Candidate slots of a filter from the metadata store's secondary indexes,
// for the engine's filtered search: the extracted equalities intersected, or
// the extracted range looked up. The engine then drops inactive slots.
//
// The extraction recognises the two filter shapes the secondary indexes can
// answer: a conjunction of plain equalities on top-level properties, and one
// numeric range on one top-level property. Everything else is left to
// evaluating the filter on each record.
//
// Soundness contract: the engine trusts an equality answer without testing
// the records, and tests range candidates against the filter. So the slots
// an index gives for an extracted equality list must be exactly the records
// the filter matches, and those for a range a superset of them. Hence a
// dotted path (a nested field for the filter, a literal top-level name for
// the index) is never extracted, and a -0.0 bound is keyed as +0.0, as the
// index keys stored -0.0.
//
// Results borrow from the filter, which must outlive them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/json_value.h"
#include "storage/metadata/metadata_keys.h"
#include "storage/metadata/metadata_store.h"

namespace velq::filter {

struct EqCondition {
  std::string_view field;
  const JsonValue* value;
};

struct RangeCondition {
  std::string_view field;
  RangeBound lower;
  RangeBound upper;  // at least one side is bounded
};

// One pair per top-level entry (a plain value, or an object whose only
// operator is "$eq"); nothing when any entry has another shape, the filter
// is empty or uses "$and"/"$or"/another "$" key, or a path holds a dot.
std::optional<std::vector<EqCondition>> extract_indexable_eq(const JsonObject& filter);

// The single entry's "$gt"/"$gte"/"$lt"/"$lte" bounds; nothing unless the
// filter has exactly one entry, on an undotted path, whose operator object
// holds only those operators with finite numeric operands. "$gte" overrides
// "$gt" and "$lte" overrides "$lt" when both are given.
std::optional<RangeCondition> extract_range_condition(const JsonObject& filter);

struct IndexCandidates {
  std::vector<std::uint32_t> slots;  // ascending, no duplicates
  // True when `slots` are exactly the records the filter matches (it is a
  // conjunction of index-answered equalities); false when they are a superset
  // that the caller must test with metadata_matches_filter.
  bool exact = false;
};

// Nothing when the indexes cannot answer the filter: the caller evaluates it
// on every record instead.
std::optional<IndexCandidates> index_candidates(const MetadataStore& store,
                                                const JsonObject& filter);

}  // namespace velq::filter
