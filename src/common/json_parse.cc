#include "common/json_parse.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace velq {
namespace {

namespace od = simdjson::ondemand;

Error json_error(std::string_view what) { return Error("invalid JSON: " + std::string(what)); }

Error simdjson_failure(simdjson::error_code code) {
  return json_error(simdjson::error_message(code));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Checks the JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// and reports whether the text is an integer (no fraction, no exponent).
bool scan_number(std::string_view t, bool& is_integer) {
  std::size_t i = 0;
  const std::size_t n = t.size();
  if (i < n && t[i] == '-') ++i;
  if (i >= n || !is_digit(t[i])) return false;
  if (t[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(t[i])) ++i;
  }
  is_integer = true;
  if (i < n && t[i] == '.') {
    is_integer = false;
    ++i;
    if (i >= n || !is_digit(t[i])) return false;
    while (i < n && is_digit(t[i])) ++i;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    is_integer = false;
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (i >= n || !is_digit(t[i])) return false;
    while (i < n && is_digit(t[i])) ++i;
  }
  return i == n;
}

// For a grammatical number text whose double conversion fell out of range:
// true when the magnitude is below one (an underflow to zero), false when it
// is an overflow. Decided from the position of the first non-zero digit.
bool magnitude_below_one(std::string_view t) {
  std::size_t i = t[0] == '-' ? 1 : 0;
  long long point_shift = 0;  // decimal exponent of the first significant digit + 1
  bool seen_significant = false;
  bool after_point = false;
  for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
    if (t[i] == '.') {
      after_point = true;
      continue;
    }
    if (!seen_significant && t[i] != '0') seen_significant = true;
    if (!after_point && seen_significant) ++point_shift;
    if (after_point && !seen_significant) --point_shift;
  }
  long long exponent = 0;
  if (i < t.size()) {
    ++i;
    bool negative = false;
    if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
    for (; i < t.size(); ++i) {
      exponent = std::min<long long>(exponent * 10 + (t[i] - '0'), 1LL << 40);  // saturate
    }
    if (negative) exponent = -exponent;
  }
  return point_shift + exponent <= 0;
}

Result<JsonValue> number_from_text(std::string_view t) {
  bool is_integer = false;
  if (!scan_number(t, is_integer)) return json_error("malformed number `" + std::string(t) + "`");
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (is_integer) {
    if (t[0] == '-') {
      std::int64_t v = 0;
      const auto r = std::from_chars(first, last, v);
      if (r.ec == std::errc()) return JsonValue::integer(v);  // "-0" becomes unsigned 0
    } else {
      std::uint64_t v = 0;
      const auto r = std::from_chars(first, last, v);
      if (r.ec == std::errc()) return JsonValue::integer(v);
    }
    // Beyond the 64-bit ranges: read as a float like any other number.
  }
  double v = 0.0;
  const auto r = std::from_chars(first, last, v);
  if (r.ec == std::errc() && std::isfinite(v)) return JsonValue::floating(v);
  if (r.ec == std::errc::result_out_of_range && magnitude_below_one(t)) {
    return JsonValue::floating(t[0] == '-' ? -0.0 : 0.0);
  }
  return json_error("number out of range `" + std::string(t) + "`");
}

std::string_view trim_trailing_space(std::string_view t) {
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\n' || t.back() == '\r')) {
    t.remove_suffix(1);
  }
  return t;
}

// Builds values bottom-up. The items and members of the containers being
// read wait on two stacks shared by all levels (reused across calls), so a
// container costs one exact-size allocation rather than a growing vector.
class Builder {
 public:
  Builder(const JsonParseOptions& options, std::vector<JsonValue>& items, std::vector<JsonMember>& members)
      : options_(options), items_(items), members_(members) {
    items_.clear();
    members_.clear();
  }

  // `level` counts enclosing arrays and objects of the caller's text.
  Result<JsonValue> value(od::value v, std::size_t level) {
    od::json_type type;
    if (auto err = v.type().get(type)) return simdjson_failure(err);
    switch (type) {
      case od::json_type::array:
        return array(v, level);
      case od::json_type::object:
        return object(v, level);
      case od::json_type::number:
        return number_from_text(trim_trailing_space(v.raw_json_token()));
      case od::json_type::string: {
        std::string_view s;
        if (auto err = v.get_string().get(s)) return simdjson_failure(err);
        return JsonValue::string(s);
      }
      case od::json_type::boolean: {
        bool b = false;
        if (auto err = v.get_bool().get(b)) return simdjson_failure(err);
        return JsonValue::boolean(b);
      }
      case od::json_type::null: {
        bool is_null = false;
        if (auto err = v.is_null().get(is_null)) return simdjson_failure(err);
        if (!is_null) return json_error("expected `null`");
        return JsonValue::null();
      }
    }
    return json_error("unexpected value");
  }


 private:
  Status enter(std::size_t level) const {
    if (level >= kMaxJsonDepth) {
      return json_error("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    return ok_status();
  }

  Result<JsonValue> array(od::value v, std::size_t level) {
    VELQ_RETURN_IF_ERROR(enter(level));
    od::array a;
    if (auto err = v.get_array().get(a)) return simdjson_failure(err);
    const std::size_t base = items_.size();
    for (auto element : a) {
      od::value item;
      if (auto err = element.get(item)) return simdjson_failure(err);
      VELQ_ASSIGN_OR_RETURN(JsonValue parsed, value(item, level + 1));
      items_.push_back(std::move(parsed));
    }
    JsonValue out = JsonValue::take_array(std::span(items_).subspan(base));
    items_.resize(base);
    return out;
  }

  Result<JsonValue> object(od::value v, std::size_t level) {
    VELQ_RETURN_IF_ERROR(enter(level));
    od::object o;
    if (auto err = v.get_object().get(o)) return simdjson_failure(err);
    const std::size_t base = members_.size();
    for (auto field : o) {
      // The key's view into the parser's string buffer stays valid while
      // the value's own strings are appended after it.
      std::string_view key;
      if (auto err = field.unescaped_key().get(key)) return simdjson_failure(err);
      od::value item;
      if (auto err = field.value().get(item)) return simdjson_failure(err);
      VELQ_ASSIGN_OR_RETURN(JsonValue parsed, value(item, level + 1));
      members_.emplace_back(key, std::move(parsed));
    }
    const std::span<JsonMember> taken = std::span(members_).subspan(base);
    JsonValue out = JsonValue::object(level < options_.record_levels ? JsonObject::take_record(taken)
                                                                      : JsonObject::take_sorted(taken));
    members_.resize(base);
    return out;
  }

  const JsonParseOptions& options_;
  std::vector<JsonValue>& items_;
  std::vector<JsonMember>& members_;
};

// The parser and buffers of one parse.
struct ParseScratch {
  od::parser parser;
  std::string buffer;
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;
};

Result<JsonValue> parse_with(ParseScratch& scratch, std::string_view text, const JsonParseOptions& options) {
  // The text is parsed as the only item of an enclosing array: that gives
  // scalars at the top level the same checks as nested ones, and makes any
  // second value after the first an error. The copy also supplies the
  // padding the parser reads past the end.
  std::string& buffer = scratch.buffer;
  buffer.clear();
  buffer.reserve(text.size() + 2 + simdjson::SIMDJSON_PADDING);
  buffer.push_back('[');
  buffer.append(text);
  buffer.push_back(']');
  const std::size_t length = buffer.size();
  buffer.resize(length + simdjson::SIMDJSON_PADDING, ' ');

  od::document doc;
  if (auto err = scratch.parser.iterate(buffer.data(), length, buffer.size()).get(doc)) {
    return simdjson_failure(err);
  }
  od::array wrapper;
  if (auto err = doc.get_array().get(wrapper)) return simdjson_failure(err);
  // Levels of the caller's text start at 0 inside the wrapper.
  Builder builder(options, scratch.items, scratch.members);
  std::size_t count = 0;
  JsonValue result;
  for (auto element : wrapper) {
    od::value item;
    if (auto err = element.get(item)) return simdjson_failure(err);
    if (++count > 1) return json_error("trailing characters after the value");
    VELQ_ASSIGN_OR_RETURN(result, builder.value(item, 0));
  }
  if (count == 0) return json_error("EOF while parsing a value");
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) {
    return json_error("trailing characters after the value");
  }
  return result;
}

}  // namespace

Result<JsonValue> parse_json(std::string_view text, JsonParseOptions options) {
  // Texts up to this size (every metadata record) reuse the thread's
  // scratch; a larger one gets its own, so no thread keeps its buffers.
  constexpr std::size_t kReusedScratchUpTo = std::size_t{1} << 20;
  if (text.size() <= kReusedScratchUpTo) {
    thread_local ParseScratch scratch;
    return parse_with(scratch, text, options);
  }
  ParseScratch scratch;
  return parse_with(scratch, text, options);
}

}  // namespace velq
