#include "storage/metadata/metadata_keys.h"

#include <bit>

#include "common/json_write.h"

namespace velq {

bool append_index_key(std::string& out, const JsonValue& value) {
  using Kind = JsonValue::Kind;
  switch (value.kind()) {
    case Kind::kNull:
      out.append("z:");
      return true;
    case Kind::kBool:
      out.append(value.as_bool() ? "b:true" : "b:false");
      return true;
    case Kind::kUnsigned:
    case Kind::kSigned:
      out.append("n:");
      append_json(out, value);
      return true;
    case Kind::kFloat:
      out.append("n:");
      append_json_float(out, value.as_float() == 0.0 ? 0.0 : value.as_float());
      return true;
    case Kind::kString:
      out.append("s:");
      out.append(value.as_string());
      return true;
    case Kind::kArray:
    case Kind::kObject:
      break;
  }
  return false;
}

std::optional<std::string> value_to_index_key(const JsonValue& value) {
  std::string key;
  if (!append_index_key(key, value)) return std::nullopt;
  return key;
}

std::optional<std::uint64_t> f64_order_key(double v) {
  constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
  constexpr std::uint64_t kLargestFinite = 0x7FEFFFFFFFFFFFFFull;
  if (v == 0.0) v = 0.0;  // -0.0 sorts with +0.0
  const auto bits = std::bit_cast<std::uint64_t>(v);
  if ((bits & ~kSignBit) > kLargestFinite) return std::nullopt;
  // Negative: flip every bit (larger magnitudes sort lower); non-negative:
  // set the sign bit (above every negative).
  return (bits & kSignBit) != 0 ? ~bits : bits ^ kSignBit;
}

std::optional<std::uint64_t> number_order_key(const JsonValue& value) {
  if (!value.is_number()) return std::nullopt;
  return f64_order_key(value.as_f64_lossy());
}

}  // namespace velq
