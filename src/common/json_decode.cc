#include "common/json_decode.h"

#include <cmath>
#include <limits>

#include "common/json_write.h"

namespace velq {
namespace {

std::string in_backticks(std::string_view s) {
  std::string out;  // appended piecewise: GCC 12 warns falsely on "`" + std::string at -O3
  out.reserve(s.size() + 2);
  out.push_back('`');
  out.append(s);
  out.push_back('`');
  return out;
}

template <typename Int>
Result<Int> decode_unsigned(const JsonValue& value, std::string_view expected) {
  if (value.kind() == JsonValue::Kind::kSigned) return invalid_value(value, expected);
  if (value.kind() != JsonValue::Kind::kUnsigned) return invalid_type(value, expected);
  if (value.as_unsigned() > std::numeric_limits<Int>::max()) return invalid_value(value, expected);
  return static_cast<Int>(value.as_unsigned());
}

}  // namespace

std::string describe_json_value(const JsonValue& value) {
  using Kind = JsonValue::Kind;
  std::string out;
  switch (value.kind()) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return std::string("boolean `") + (value.as_bool() ? "true" : "false") + "`";
    case Kind::kUnsigned:
    case Kind::kSigned:
      out = "integer `";
      append_json(out, value);
      out += "`";
      return out;
    case Kind::kFloat:
      out = "floating point `";
      append_json_float(out, value.as_float());
      out += "`";
      return out;
    case Kind::kString:
      out = "string ";
      append_json_string(out, value.as_string());
      return out;
    case Kind::kArray:
      return "sequence";
    case Kind::kObject:
      return "map";
  }
  return out;
}

Error missing_field(std::string_view name) { return Error("missing field " + in_backticks(name)); }

Error duplicate_field(std::string_view name) { return Error("duplicate field " + in_backticks(name)); }

Error invalid_type(const JsonValue& found, std::string_view expected) {
  return Error("invalid type: " + describe_json_value(found) + ", expected " + std::string(expected));
}

Error invalid_value(const JsonValue& found, std::string_view expected) {
  return Error("invalid value: " + describe_json_value(found) + ", expected " + std::string(expected));
}

Error invalid_length(std::size_t length, std::string_view expected) {
  return Error("invalid length " + std::to_string(length) + ", expected " + std::string(expected));
}

Error unknown_variant(std::string_view found, std::span<const std::string_view> variants) {
  std::string message = "unknown variant " + in_backticks(found) + ", expected ";
  if (variants.empty()) return Error(message + "nothing");
  if (variants.size() == 1) return Error(message + in_backticks(variants[0]));
  message += "one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) message += ", ";
    message += in_backticks(variants[i]);
  }
  return Error(message);
}

Result<std::uint64_t> decode_u64(const JsonValue& value) {
  return decode_unsigned<std::uint64_t>(value, "u64");
}

Result<std::uint32_t> decode_u32(const JsonValue& value) {
  return decode_unsigned<std::uint32_t>(value, "u32");
}

Result<std::size_t> decode_usize(const JsonValue& value) {
  return decode_unsigned<std::size_t>(value, "usize");
}

Result<double> decode_f64(const JsonValue& value) {
  if (!value.is_number()) return invalid_type(value, "f64");
  return value.as_f64_lossy();
}

Result<float> decode_f32(const JsonValue& value) {
  if (!value.is_number()) return invalid_type(value, "f32");
  const double wide = value.as_f64_lossy();
  // Values that round beyond the largest f32 (from half an ulp above it) give
  // infinity, as the hardware conversion does; spelled out because the
  // language leaves that conversion undefined.
  constexpr double kRoundsToInfinity = std::numeric_limits<float>::max() + 0x1p103;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::abs(wide) >= kRoundsToInfinity) return wide > 0 ? kInfinity : -kInfinity;
  return static_cast<float>(wide);
}

Result<bool> decode_bool(const JsonValue& value) {
  if (!value.is_bool()) return invalid_type(value, "a boolean");
  return value.as_bool();
}

Result<std::string> decode_string(const JsonValue& value) {
  if (!value.is_string()) return invalid_type(value, "a string");
  return std::string(value.as_string());
}

Result<std::size_t> decode_variant(const JsonValue& value, std::span<const std::string_view> variants) {
  if (!value.is_string()) return invalid_type(value, "variant identifier");
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (variants[i] == value.as_string()) return i;
  }
  return unknown_variant(value.as_string(), variants);
}

Status decode_record(const JsonValue& value, std::string_view struct_name,
                     std::span<const RecordField> fields,
                     const std::function<Status(std::size_t, const JsonValue&)>& on_field) {
  const std::string expected = "struct " + std::string(struct_name);
  if (value.is_array()) {
    const auto items = value.as_array();
    if (items.size() > fields.size()) return invalid_length(items.size(), "fewer elements in array");
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i < items.size()) {
        VELQ_RETURN_IF_ERROR(on_field(i, items[i]));
      } else if (fields[i].required) {
        return invalid_length(i, expected + " with " + std::to_string(fields.size()) + " elements");
      }
    }
    return ok_status();
  }
  if (!value.is_object()) return invalid_type(value, expected);
  std::vector<bool> seen(fields.size(), false);
  for (const JsonMember& member : value.as_object()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name != member.key()) continue;
      if (seen[i]) return duplicate_field(fields[i].name);
      seen[i] = true;
      VELQ_RETURN_IF_ERROR(on_field(i, member.value));
      break;
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].required && !seen[i]) return missing_field(fields[i].name);
  }
  return ok_status();
}

}  // namespace velq
