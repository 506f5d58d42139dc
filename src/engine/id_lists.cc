#include "engine/id_lists.h"

#include <string_view>

#include "common/json_decode.h"
#include "common/json_parse.h"

namespace velq {

std::string serialize_index_ids(std::span<const std::uint32_t> ids) {
  if (ids.empty()) return "[]";
  std::string out = "[\n";
  out.reserve(ids.size() * 10 + 4);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    out += "  ";
    out += std::to_string(ids[i]);
    out += i + 1 < ids.size() ? ",\n" : "\n";
  }
  out += ']';
  return out;
}

Result<std::vector<std::uint32_t>> parse_index_ids(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Result<JsonValue> json = parse_json(text);
  if (!json.ok()) return std::move(json).error().with_kind(ErrorKind::kCorruption);
  Result<std::vector<std::uint32_t>> ids = decode_array<std::uint32_t>(*json, decode_u32);
  if (!ids.ok()) return std::move(ids).error().with_kind(ErrorKind::kCorruption);
  return ids;
}

}  // namespace velq
