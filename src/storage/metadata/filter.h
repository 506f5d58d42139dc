// The filter language: a JSON object of field conditions and "$and"/"$or"
// groups that restricts counts, listings, deletes and searches to the vectors
// whose metadata properties satisfy it. The document is not visible to filters.
//
// Each top-level entry must hold. "$and" / "$or" take an array of filters;
// any other key is a field path ("a.b" is key b inside the object under
// property a) mapped to an operator object ("$eq", "$ne", "$gt", "$gte",
// "$lt", "$lte", "$in", "$nin", "$exists", "$contains") or to any other value,
// which means equality. Equality is JsonValue's: typed, so 1 and 1.0 differ,
// while 0.0 == -0.0.
//
// All functions are pure reads
// and may run concurrently on any thread.
#pragma once

#include <string_view>

#include "common/json_value.h"
#include "common/result.h"

namespace velq::filter {

// Checks operator names only; operands are not examined. Fails with
// "unknown top-level filter operator '{key}'" for a "$" key other than
// "$and"/"$or", or "unknown filter operator '{op}' on field '{path}'".
Status validate_filter_operators(const JsonObject& filter);

// True when every entry of `filter` holds for `properties`. Allocates nothing.
bool metadata_matches_filter(const JsonObject& properties, const JsonObject& filter);

// The value at a dotted path inside an object: the first segment names a
// member, each further segment a member of the object reached so far.
// Segments match literally, empty ones too, so a property whose name holds a
// dot cannot be reached. Null when a step is missing or not an object.
const JsonValue* get_nested_field(const JsonObject& object, std::string_view path);

}  // namespace velq::filter
