// graph_ids.json and delta_ids.json: ascending slot lists as pretty JSON
// arrays ("[", one number per line indented by two spaces, "]"; "[]" when
// empty; no final newline).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace velq {

std::string serialize_index_ids(std::span<const std::uint32_t> ids);

// Any JSON array of u32 (whitespace free); anything else is kCorruption.
Result<std::vector<std::uint32_t>> parse_index_ids(std::span<const std::uint8_t> bytes);

}  // namespace velq
