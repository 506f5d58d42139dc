#include "storage/metadata/vector_metadata.h"

#include <algorithm>

#include "common/json_decode.h"
#include "common/json_parse.h"
#include "common/json_write.h"
#include "common/panic.h"

namespace velq {
namespace {

constexpr RecordField kRecordFields[] = {{"properties", true}, {"document", false}};

// Containers from the record's outer object down to the deepest value (at
// most one past the reader's limit).
std::size_t record_depth(const JsonObject& properties) {
  std::size_t deepest = 0;
  for (const JsonMember& m : properties) deepest = std::max(deepest, m.value.depth(kMaxPropertyValueDepth));
  return deepest + 2;  // the properties object and the record around it
}

// The properties value of a record that decoded cleanly (so it is present,
// once), to be moved out rather than copied.
JsonObject& properties_of(JsonValue& record) {
  if (record.is_array()) return record.as_array()[0].as_object();
  for (JsonMember& member : record.as_object().members()) {
    if (member.key() == kRecordFields[0].name) return member.value.as_object();
  }
  panic("decoded metadata record without properties");
}

}  // namespace

std::string metadata_too_deep_message() {
  return "metadata nested too deeply: at most " + std::to_string(kMaxPropertyValueDepth) +
         " levels of arrays and objects inside a property value";
}

Status check_metadata_depth(const VectorMetadata& metadata) {
  if (record_depth(metadata.properties) > kMaxJsonDepth) {
    return Error::invalid_argument(metadata_too_deep_message());
  }
  return ok_status();
}

Status append_metadata_json(std::string& out, const VectorMetadata& metadata) {
  VELQ_RETURN_IF_ERROR(check_metadata_depth(metadata));
  out.append(R"({"properties":{)");
  bool first = true;
  for (const auto& [key, value] : metadata.properties) {
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, key);
    out.push_back(':');
    append_json(out, value);
  }
  out.append(R"(},"document":)");
  if (const auto document = metadata.document()) {
    append_json_string(out, *document);
  } else {
    out.append("null");
  }
  out.push_back('}');
  return ok_status();
}

Result<std::string> metadata_to_json(const VectorMetadata& metadata) {
  std::string out;
  out.reserve(128);
  VELQ_RETURN_IF_ERROR(append_metadata_json(out, metadata));
  return out;
}

Result<VectorMetadata> metadata_from_json(std::string_view text) {
  VELQ_ASSIGN_OR_RETURN(JsonValue record, parse_json(text, {.record_levels = 1}));
  VectorMetadata metadata;
  VELQ_RETURN_IF_ERROR(decode_record(record, "VectorMetadata", kRecordFields,
                                     [&](std::size_t field, const JsonValue& value) -> Status {
    if (field == 0) {
      if (!value.is_object()) return invalid_type(value, "a map");
    } else if (value.is_string()) {
      metadata.set_document(value.as_string());
    } else if (!value.is_null()) {
      return invalid_type(value, "a string");
    }
    return ok_status();
  }));
  metadata.properties = std::move(properties_of(record));
  return metadata;
}

}  // namespace velq
