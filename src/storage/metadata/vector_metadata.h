// The metadata of one stored vector and its JSON record form, the text kept
// per entry in metadata.bin and in the log:
//   {"properties":{...},"document":"text"}   or   ...,"document":null}
// Readers also accept the keys in any order (unknown keys skipped, "document"
// absent meaning none) and the array form [properties, document?].
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json_parse.h"
#include "common/json_value.h"
#include "common/result.h"

namespace velq {

class VectorMetadata {
 public:
  VectorMetadata() = default;
  VectorMetadata(JsonObject properties, std::optional<std::string_view> document)
      : properties(std::move(properties)) {
    set_document(document);
  }

  std::optional<std::string_view> document() const {
    if (document_.is_null()) return std::nullopt;
    return document_.as_string();
  }
  void set_document(std::optional<std::string_view> document) {
    document_ = document ? JsonValue::string(*document) : JsonValue::null();
  }

  friend bool operator==(const VectorMetadata& a, const VectorMetadata& b) {
    return a.properties == b.properties && a.document_ == b.document_;
  }

  // Property name -> value. Iteration order: ascending key bytes.
  JsonObject properties;

 private:
  JsonValue document_;  // a string, or null for no document (inline when short)
};

// Levels of arrays and objects a property value may hold: the stored record
// wraps it in two more (the properties object and the record), and the whole
// must stay within the parser's depth limit to be read back.
inline constexpr std::size_t kMaxPropertyValueDepth = kMaxJsonDepth - 2;
// The refusal of a value nested deeper than kMaxPropertyValueDepth.
std::string metadata_too_deep_message();

// Refuses properties nested so deeply that their record would exceed the
// parser's depth limit and could not be read back.
Status check_metadata_depth(const VectorMetadata& metadata);

// Appends the compact record text, after check_metadata_depth.
Status append_metadata_json(std::string& out, const VectorMetadata& metadata);
Result<std::string> metadata_to_json(const VectorMetadata& metadata);

Result<VectorMetadata> metadata_from_json(std::string_view text);

}  // namespace velq
