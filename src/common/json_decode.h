// Helpers for decoders of fixed JSON records (the manifest, quantizer and
// compaction state files, metadata records) and the wording of their errors:
//   missing field `d`
//   duplicate field `d`
//   invalid type: string "x", expected u64
//   invalid value: integer `-1`, expected u64
//   invalid length 0, expected struct VectorMetadata with 2 elements
//   unknown variant `x`, expected one of `ip`, `cosine`, `l2`
// Parse record texts with JsonParseOptions::record_levels covering every
// record level, so that a key given twice reaches decode_record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"

namespace velq {

// How errors name a value: null, boolean `true`, integer `5`,
// floating point `1.5`, string "x", sequence, map.
std::string describe_json_value(const JsonValue& value);

Error missing_field(std::string_view name);
Error duplicate_field(std::string_view name);
Error invalid_type(const JsonValue& found, std::string_view expected);
Error invalid_value(const JsonValue& found, std::string_view expected);
Error invalid_length(std::size_t length, std::string_view expected);
Error unknown_variant(std::string_view found, std::span<const std::string_view> variants);

// Scalars. Integers must be integers in range; floats accept any number.
Result<std::uint64_t> decode_u64(const JsonValue& value);
Result<std::uint32_t> decode_u32(const JsonValue& value);
Result<std::size_t> decode_usize(const JsonValue& value);
Result<double> decode_f64(const JsonValue& value);
Result<float> decode_f32(const JsonValue& value);
Result<bool> decode_bool(const JsonValue& value);
Result<std::string> decode_string(const JsonValue& value);
// Index of `value` among `variants` (the enumeration's strings).
Result<std::size_t> decode_variant(const JsonValue& value, std::span<const std::string_view> variants);

// An array whose items all decode with `item`.
template <typename T>
Result<std::vector<T>> decode_array(const JsonValue& value,
                                    Result<T> (*item)(const JsonValue&)) {
  if (!value.is_array()) return invalid_type(value, "a sequence");
  std::vector<T> out;
  out.reserve(value.as_array().size());
  for (const JsonValue& v : value.as_array()) {
    VELQ_ASSIGN_OR_RETURN(T decoded, item(v));
    out.push_back(std::move(decoded));
  }
  return out;
}

// Stores a decoded value into `out`, or passes its error on: the body of
// most record-field callbacks.
template <typename T>
Status assign_decoded(T& out, Result<T> decoded) {
  if (!decoded.ok()) return std::move(decoded).error();
  out = std::move(decoded).value();
  return ok_status();
}

struct RecordField {
  std::string_view name;
  // Missing: "missing field" for an object, "invalid length" for an array.
  bool required;
};

// Decodes a record named `struct_name` ("VectorMetadata") given as an object
// (members in any order, unknown keys skipped, a known key twice an error) or
// as an array holding the fields in order (trailing optional fields may be
// left out). `on_field` receives each field present, in text order, with its
// index in `fields`; its first error ends the decode.
Status decode_record(const JsonValue& value, std::string_view struct_name,
                     std::span<const RecordField> fields,
                     const std::function<Status(std::size_t, const JsonValue&)>& on_field);

}  // namespace velq
