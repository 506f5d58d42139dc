#include "engine/state/manifest.h"

#include <string_view>

#include "common/json_decode.h"
#include "common/json_parse.h"
#include "common/json_write.h"

namespace velq {

namespace {

// Levels parsed as records: the manifest, the quantizer and index state
// inside it, and the quantizer's stages.
constexpr std::size_t kRecordLevels = 3;

JsonValue index_state_json(const IndexState& s) {
  return JsonValue::object(JsonObject::record({
      {"max_degree", JsonValue::integer(std::uint64_t{s.max_degree})},
      {"ef_construction", JsonValue::integer(std::uint64_t{s.ef_construction})},
      {"search_list_size", JsonValue::integer(std::uint64_t{s.search_list_size})},
      {"alpha", JsonValue::floating(s.alpha)},
      {"indexed_nodes", JsonValue::integer(std::uint64_t{s.indexed_nodes})},
  }));
}

Result<IndexState> decode_index_state(const JsonValue& value) {
  static constexpr RecordField kFields[] = {{"max_degree", true},
                                            {"ef_construction", true},
                                            {"search_list_size", true},
                                            {"alpha", true},
                                            {"indexed_nodes", true}};
  IndexState s;
  VELQ_RETURN_IF_ERROR(decode_record(
      value, "IndexState", kFields, [&](std::size_t i, const JsonValue& v) -> Status {
        switch (i) {
          case 0: return assign_decoded(s.max_degree, decode_usize(v));
          case 1: return assign_decoded(s.ef_construction, decode_usize(v));
          case 2: return assign_decoded(s.search_list_size, decode_usize(v));
          case 3: return assign_decoded(s.alpha, decode_f64(v));
          default: return assign_decoded(s.indexed_nodes, decode_usize(v));
        }
      }));
  return s;
}

template <typename Enum, std::size_t N>
Status decode_enum(const JsonValue& value, const std::string_view (&names)[N], Enum& out) {
  VELQ_ASSIGN_OR_RETURN(const std::size_t index, decode_variant(value, names));
  out = static_cast<Enum>(index);
  return ok_status();
}

Result<Manifest> decode_manifest(const JsonValue& value) {
  static constexpr RecordField kFields[] = {
      {"version", true},         {"d", true},          {"b", true},
      {"seed", true},            {"vector_count", true}, {"storage_uri", true},
      {"quantizer", false},      {"metric", false},    {"index_state", false},
      {"fast_mode", false},      {"rerank_enabled", false}, {"rerank_precision", false},
      {"normalize", false},      {"quantizer_type", false}};
  Manifest m;
  VELQ_RETURN_IF_ERROR(decode_record(
      value, "Manifest", kFields, [&](std::size_t i, const JsonValue& v) -> Status {
        switch (i) {
          case 0: return assign_decoded(m.version, decode_u32(v));
          case 1: return assign_decoded(m.d, decode_usize(v));
          case 2: return assign_decoded(m.b, decode_usize(v));
          case 3: return assign_decoded(m.seed, decode_u64(v));
          case 4: return assign_decoded(m.vector_count, decode_usize(v));
          case 5: return assign_decoded(m.storage_uri, decode_string(v));
          case 6:
            if (v.is_null()) return ok_status();
            return assign_decoded(m.quantizer.emplace(), ProdQuantizer::deserialize(v));
          case 7: return decode_enum(v, kMetricNames, m.metric);
          case 8:
            if (v.is_null()) return ok_status();
            return assign_decoded(m.index_state.emplace(), decode_index_state(v));
          case 9: return assign_decoded(m.fast_mode, decode_bool(v));
          case 10: return assign_decoded(m.rerank_enabled, decode_bool(v));
          case 11: return decode_enum(v, kRerankPrecisionNames, m.rerank_precision);
          case 12: return assign_decoded(m.normalize, decode_bool(v));
          default: return assign_decoded(m.quantizer_type, decode_string(v));
        }
      }));
  return m;
}

}  // namespace

std::string Manifest::to_json() const {
  std::vector<JsonMember> members;
  members.reserve(14);
  members.emplace_back("version", JsonValue::integer(std::uint64_t{version}));
  members.emplace_back("d", JsonValue::integer(std::uint64_t{d}));
  members.emplace_back("b", JsonValue::integer(std::uint64_t{b}));
  members.emplace_back("seed", JsonValue::integer(seed));
  members.emplace_back("vector_count", JsonValue::integer(std::uint64_t{vector_count}));
  members.emplace_back("storage_uri", JsonValue::string(storage_uri));
  if (quantizer.has_value()) members.emplace_back("quantizer", quantizer->serialize());
  members.emplace_back("metric", JsonValue::string(metric_name(metric)));
  members.emplace_back("index_state",
                       index_state ? index_state_json(*index_state) : JsonValue::null());
  members.emplace_back("fast_mode", JsonValue::boolean(fast_mode));
  members.emplace_back("rerank_enabled", JsonValue::boolean(rerank_enabled));
  members.emplace_back("rerank_precision",
                       JsonValue::string(rerank_precision_name(rerank_precision)));
  members.emplace_back("normalize", JsonValue::boolean(normalize));
  members.emplace_back("quantizer_type", JsonValue::string(quantizer_type));
  return to_json_pretty(JsonValue::object(JsonObject::record(std::move(members))));
}

Result<Manifest> Manifest::parse(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Result<JsonValue> json = parse_json(text, {.record_levels = kRecordLevels});
  if (!json.ok()) return std::move(json).error().with_kind(ErrorKind::kCorruption);
  Result<Manifest> manifest = decode_manifest(*json);
  if (!manifest.ok()) return std::move(manifest).error().with_kind(ErrorKind::kCorruption);
  return manifest;
}

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
