// Candidate slots of a filter from the metadata store's secondary indexes,
// for the engine's filtered search: the extracted equalities intersected, or
// the extracted range looked up. The engine then drops inactive slots.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/json_value.h"
#include "storage/metadata/metadata_store.h"

namespace velq::filter {

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
