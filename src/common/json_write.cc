#include "common/json_write.h"

#include <charconv>

namespace velq {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

template <typename Int>
void append_integer(std::string& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_newline_indent(std::string& out, std::size_t level) {
  out.push_back('\n');
  out.append(2 * level, ' ');
}

// Writes `value`; with `pretty`, nested lines are indented from `level`.
void write_value(std::string& out, const JsonValue& value, bool pretty, std::size_t level) {
  using Kind = JsonValue::Kind;
  switch (value.kind()) {
    case Kind::kNull:
      out.append("null");
      return;
    case Kind::kBool:
      out.append(value.as_bool() ? "true" : "false");
      return;
    case Kind::kUnsigned:
      append_integer(out, value.as_unsigned());
      return;
    case Kind::kSigned:
      append_integer(out, value.as_signed());
      return;
    case Kind::kFloat:
      append_json_float(out, value.as_float());
      return;
    case Kind::kString:
      append_json_string(out, value.as_string());
      return;
    case Kind::kArray: {
      const auto items = value.as_array();
      out.push_back('[');
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (pretty) append_newline_indent(out, level + 1);
        write_value(out, items[i], pretty, level + 1);
      }
      if (pretty && !items.empty()) append_newline_indent(out, level);
      out.push_back(']');
      return;
    }
    case Kind::kObject: {
      const auto members = value.as_object().members();
      out.push_back('{');
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (pretty) append_newline_indent(out, level + 1);
        append_json_string(out, members[i].key());
        out.append(pretty ? ": " : ":");
        write_value(out, members[i].value, pretty, level + 1);
      }
      if (pretty && !members.empty()) append_newline_indent(out, level);
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

void append_json(std::string& out, const JsonValue& value) { write_value(out, value, false, 0); }

std::string to_json(const JsonValue& value) {
  std::string out;
  append_json(out, value);
  return out;
}

std::string to_json_pretty(const JsonValue& value) {
  std::string out;
  write_value(out, value, true, 0);
  return out;
}

void append_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run = 0;  // start of the pending stretch that needs no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        out.append("\\u00");
        out.push_back(kHexDigits[c >> 4]);
        out.push_back(kHexDigits[c & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void append_json_float(std::string& out, double v) {
  // Shortest round-trip digits in scientific form, d.ddde±x, re-laid out:
  // plain decimals while the point falls within 16 digits of the first
  // digit (and no further than 5 zeros before it), exponent form otherwise.
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  char digits[24];
  std::size_t length = 0;
  for (std::size_t i = 0; i < e_pos; ++i) {
    if (text[i] != '.') digits[length++] = text[i];
  }
  std::string_view exponent_text = text.substr(e_pos + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  const int point = exponent + 1;  // digits before the decimal point
  const int len = static_cast<int>(length);
  if (point >= len && point <= 16) {
    out.append(digits, length);
    out.append(static_cast<std::size_t>(point - len), '0');
    out.append(".0");
  } else if (point > 0 && point <= 16) {
    out.append(digits, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits + point, length - static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, length);
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out.append(digits + 1, length - 1);
    }
    out.push_back('e');
    append_integer(out, exponent);
  }
}

}  // namespace velq
