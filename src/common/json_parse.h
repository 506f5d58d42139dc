// JSON text to JsonValue. The text must be UTF-8 (invalid sequences are
// refused). Integers take one representation whatever their spelling:
// non-negative ones are unsigned, negative ones signed; integers beyond the
// 64-bit ranges become floats. A float whose magnitude exceeds the double
// range is refused.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/json_value.h"
#include "common/result.h"

namespace velq {

// The deepest nesting of arrays and objects any reader accepts. Writers of
// persisted JSON refuse deeper values, so that everything written reads back.
inline constexpr std::size_t kMaxJsonDepth = 128;

struct JsonParseOptions {
  // Objects nested fewer than this many levels deep (the outermost value is
  // level 0) are parsed as records: members in text order, duplicates kept,
  // so that a record decoder can report a key given twice. Deeper objects
  // are sorted maps in which a repeated key keeps its last value.
  std::size_t record_levels = 0;
};

Result<JsonValue> parse_json(std::string_view text, JsonParseOptions options = {});

}  // namespace velq
