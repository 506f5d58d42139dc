// Keys of the metadata store's secondary indexes.
//
// Equality key: a typed text, so values of different JSON types never meet:
// "z:" (null), "b:true", "n:42", "n:-7", "n:1.0", "n:0.25", "s:red". Arrays
// and objects have none. Integer 1 and float 1.0 differ, as under the filter's
// equality.
//
// Order key: a number as a u64 whose unsigned order is the numeric order of
// its f64 value (integers converted rounding to nearest, so integers above
// 2^53 that round alike share a key).
//
// Both keys treat -0.0 as +0.0: the filter counts 0.0 and -0.0 equal, and an
// index answer must select the same records as evaluating the filter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json_value.h"

namespace velq {

std::optional<std::string> value_to_index_key(const JsonValue& value);
// The same key appended to `out` (for reuse of one buffer); false, with
// nothing appended, for values without a key.
bool append_index_key(std::string& out, const JsonValue& value);

// Nothing for NaN and infinities.
std::optional<std::uint64_t> f64_order_key(double v);
// Nothing for values that are not numbers.
std::optional<std::uint64_t> number_order_key(const JsonValue& value);

enum class BoundKind : std::uint8_t { kExclusive = 0, kInclusive = 1, kUnbounded = 2 };

// One side of a numeric range over order keys.
struct RangeBound {
  std::uint64_t key = 0;  // meaningless when unbounded
  BoundKind kind = BoundKind::kUnbounded;

  static RangeBound exclusive(std::uint64_t key) { return {key, BoundKind::kExclusive}; }
  static RangeBound inclusive(std::uint64_t key) { return {key, BoundKind::kInclusive}; }
  static RangeBound unbounded() { return {}; }
  bool is_unbounded() const { return kind == BoundKind::kUnbounded; }
};

}  // namespace velq
