#include "storage/metadata_keys.h"

#include <bit>

#include "common/json_write.h"

namespace velq {

std::optional<std::string> value_to_index_key(const JsonValue& value) {
  using Kind = JsonValue::Kind;
  std::string key;
  switch (value.kind()) {
    case Kind::kNull:
      return std::string("z:");
    case Kind::kBool:
      return std::string(value.as_bool() ? "b:true" : "b:false");
    case Kind::kUnsigned:
    case Kind::kSigned:
      key = "n:";
      append_json(key, value);
      return key;
    case Kind::kFloat:
      key = "n:";
      append_json_float(key, value.as_float() == 0.0 ? 0.0 : value.as_float());
      return key;
    case Kind::kString:
      key.reserve(2 + value.as_string().size());
      key = "s:";
      key.append(value.as_string());
      return key;
    case Kind::kArray:
    case Kind::kObject:
      break;
  }
  return std::nullopt;
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
