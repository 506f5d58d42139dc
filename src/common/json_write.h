// JsonValue to text. The compact form has no whitespace at all; the pretty
// form puts every array item and object member on its own line, indented by
// two spaces per level, with "key": value. Objects are written in member
// order (sorted keys for maps, field order for records). Floats are written
// in the shortest form that reads back to the same double and always as
// floats (1.0, 0.25, 1e16, 1.5e-7), integers in plain decimal.
#pragma once

#include <string>
#include <string_view>

#include "common/json_value.h"

namespace velq {

void append_json(std::string& out, const JsonValue& value);
std::string to_json(const JsonValue& value);
std::string to_json_pretty(const JsonValue& value);

// One string literal, quoted, with the escapes JSON requires.
void append_json_string(std::string& out, std::string_view s);
// A finite double in the float form described above.
void append_json_float(std::string& out, double v);

}  // namespace velq
