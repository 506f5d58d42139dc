// UTF-8 validity checks for strings decoded from files and the file system.
#pragma once

#include <string>
#include <string_view>

namespace velq {

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
bool is_valid_utf8(std::string_view s);

// `s` with every ill-formed sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);

}  // namespace velq
