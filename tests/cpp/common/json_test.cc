#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/json_decode.h"
#include "common/json_parse.h"
#include "common/json_value.h"
#include "common/json_write.h"

namespace velq {
namespace {

JsonValue parse_ok(std::string_view text, JsonParseOptions options = {}) {
  auto r = parse_json(text, options);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : JsonValue();
}

std::string parse_error(std::string_view text) {
  auto r = parse_json(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? "" : r.error().message();
}

TEST(JsonValue, StaysSmallAndCopiesDeeply) {
  EXPECT_EQ(sizeof(JsonValue), 16u);
  const JsonValue inline_text = JsonValue::string("fourteen bytes");  // exactly inline
  const JsonValue heap_text = JsonValue::string("fifteen bytes!!");
  JsonValue nested = JsonValue::object({{"a", JsonValue::array({inline_text, heap_text})},
                                        {"b", JsonValue::integer(std::int64_t{-3})}});
  JsonValue copy = nested;
  EXPECT_EQ(copy, nested);
  JsonValue moved = std::move(copy);
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): moved-from is null by contract
  EXPECT_EQ(moved.find("a")->as_array()[1].as_string(), "fifteen bytes!!");
  copy = moved;
  copy = copy;  // self-assignment keeps the value
  EXPECT_EQ(copy, nested);
}

TEST(JsonValue, OneRepresentationPerNumber) {
  EXPECT_EQ(JsonValue::integer(std::int64_t{5}).kind(), JsonValue::Kind::kUnsigned);
  EXPECT_EQ(JsonValue::integer(std::int64_t{5}), JsonValue::integer(std::uint64_t{5}));
  EXPECT_EQ(JsonValue::integer(std::int64_t{-5}).kind(), JsonValue::Kind::kSigned);
  EXPECT_FALSE(JsonValue::integer(std::uint64_t{1}) == JsonValue::floating(1.0));
  EXPECT_EQ(JsonValue::floating(0.0), JsonValue::floating(-0.0));
  EXPECT_EQ(parse_ok("5"), JsonValue::integer(std::int64_t{5}));
  EXPECT_EQ(parse_ok("-0").kind(), JsonValue::Kind::kUnsigned);
}

TEST(JsonValue, ObjectsSortKeysAndKeepTheLastDuplicate) {
  const JsonValue o = JsonValue::object({{"b", JsonValue::integer(std::uint64_t{1})},
                                         {"a", JsonValue::null()},
                                         {"b", JsonValue::integer(std::uint64_t{2})}});
  ASSERT_EQ(o.as_object().members().size(), 2u);
  EXPECT_EQ(o.as_object().members()[0].key(), "a");
  EXPECT_EQ(*o.find("b"), JsonValue::integer(std::uint64_t{2}));
  EXPECT_EQ(o.find("c"), nullptr);
  // Object equality ignores member order (a record against a sorted map).
  const JsonValue r = JsonValue::object(JsonObject::record({{"b", JsonValue::integer(std::uint64_t{2})}, {"a", JsonValue::null()}}));
  EXPECT_EQ(o, r);
  std::string keys;
  for (const auto& [key, value] : o.as_object()) keys += std::string(key) + (value.is_null() ? "=null;" : "=v;");
  EXPECT_EQ(keys, "a=null;b=v;");
  EXPECT_EQ(parse_ok(R"({"z":1,"a":{"y":2,"x":3},"z":4})"), parse_ok(R"({"a":{"x":3,"y":2},"z":4})"));
}

TEST(JsonParse, ReadsEveryKind) {
  const JsonValue v = parse_ok(R"( {"s":"h\u00e9\n\"","t":true,"f":false,"n":null,"a":[1,-2,2.5,[]],"o":{}} )");
  EXPECT_EQ(v.find("s")->as_string(), "h\xC3\xA9\n\"");
  EXPECT_TRUE(v.find("t")->as_bool());
  EXPECT_FALSE(v.find("f")->as_bool());
  EXPECT_TRUE(v.find("n")->is_null());
  const auto items = v.find("a")->as_array();
  EXPECT_EQ(items[1].as_signed(), -2);
  EXPECT_EQ(items[2].as_float(), 2.5);
  EXPECT_TRUE(items[3].as_array().empty());
  EXPECT_TRUE(v.find("o")->as_object().members().empty());
  EXPECT_EQ(parse_ok("\"\xF0\x9F\x98\x80\"").as_string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(parse_ok(R"("\ud83d\ude00")").as_string(), "\xF0\x9F\x98\x80");
}

TEST(JsonParse, IntegersAtTheEdgesOfTheirRanges) {
  EXPECT_EQ(parse_ok("18446744073709551615").as_unsigned(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_ok("-9223372036854775808").as_signed(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_ok("9223372036854775808").as_unsigned(), 9223372036854775808ull);
  const JsonValue above = parse_ok("18446744073709551616");
  EXPECT_EQ(above.kind(), JsonValue::Kind::kFloat);
  EXPECT_EQ(above.as_float(), 18446744073709551616.0);
  EXPECT_EQ(parse_ok("-9223372036854775809").kind(), JsonValue::Kind::kFloat);
  EXPECT_EQ(parse_ok("1.0").kind(), JsonValue::Kind::kFloat);
  EXPECT_EQ(parse_ok("1e2").kind(), JsonValue::Kind::kFloat);
  EXPECT_EQ(parse_ok("1e-400").as_float(), 0.0);
  EXPECT_TRUE(std::signbit(parse_ok("-1e-400").as_float()));
  EXPECT_EQ(parse_ok("4.9406564584124654e-324").as_float(), std::numeric_limits<double>::denorm_min());
  EXPECT_NE(parse_error("1e400").find("out of range"), std::string::npos);
}

TEST(JsonParse, RefusesMalformedText) {
  for (const char* bad : {"", " ", "01", "1.", ".5", "-", "1e", "+1", "nul", "tru", "[1,]", "{\"a\"}",
                          "{\"a\":1,}", "[1 2]", "1 2", "{} x", "1] [2", "]", "\"\\x\"", "\"\\ud800\"",
                          "\"a\x01\"", "\"\xC3\x28\"", "\"\xFF\"", "NaN", "Infinity", "[", "{\"a\":"}) {
    auto r = parse_json(bad);
    EXPECT_FALSE(r.ok()) << "accepted: " << bad;
  }
}

TEST(JsonParse, RefusesNestingBeyondTheLimitCleanly) {
  const std::string deepest = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
  EXPECT_EQ(parse_ok(deepest).depth(kMaxJsonDepth), kMaxJsonDepth);
  EXPECT_EQ(parse_ok(deepest).depth(5), 6u);  // stops one level past the limit
  const std::string too_deep = "[" + deepest + "]";
  EXPECT_NE(parse_error(too_deep).find("nesting deeper than 128"), std::string::npos);
  const std::string huge = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(parse_json(huge).ok());
  std::string objects;
  for (std::size_t i = 0; i <= kMaxJsonDepth; ++i) objects += "{\"k\":";
  objects += '1';
  objects.append(kMaxJsonDepth + 1, '}');
  EXPECT_FALSE(parse_json(objects).ok());
}

TEST(JsonParse, LargeTextsParseLikeSmallOnes) {
  std::string big = "[";
  for (int i = 0; i < 300000; ++i) {
    big += std::to_string(i);
    big += ',';
  }
  big += "\"end\"]";
  ASSERT_GT(big.size(), std::size_t{1} << 20);
  const JsonValue v = parse_ok(big);
  EXPECT_EQ(v.as_array().size(), 300001u);
  EXPECT_EQ(v.as_array()[299999].as_unsigned(), 299999u);
  EXPECT_EQ(parse_ok("[1]"), JsonValue::array({JsonValue::integer(std::uint64_t{1})}));  // small again
}

TEST(JsonParse, RecordLevelsKeepTextOrderAndDuplicates) {
  const JsonValue v = parse_ok(R"({"b":1,"a":{"y":1,"x":2},"b":2})", {.record_levels = 1});
  ASSERT_FALSE(v.as_object().is_sorted());
  ASSERT_EQ(v.as_object().members().size(), 3u);
  EXPECT_EQ(v.as_object().members()[0].key(), "b");
  EXPECT_EQ(v.as_object().members()[2].value.as_unsigned(), 2u);
  EXPECT_TRUE(v.find("a")->as_object().is_sorted());
  EXPECT_EQ(v.find("a")->as_object().members()[0].key(), "x");
}

TEST(JsonWrite, CompactRoundTripsAndKeepsFloatsFloats) {
  const std::string text = R"({"a":[1,-7,1.0,0.25,-0.0,1e16,1.5e-7,123456789.0,0.0001],"b":"q\"\\\u0001é","c":null})";
  const JsonValue v = parse_ok(text);
  EXPECT_EQ(to_json(v), text);
  EXPECT_EQ(parse_ok(to_json(v)), v);
  for (double d : {0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, 1e15, 1e-5, 1e-6, 2.5e21}) {
    const std::string printed = to_json(JsonValue::floating(d));
    EXPECT_EQ(parse_ok(printed).as_float(), d) << printed;
    EXPECT_NE(printed.find_first_of(".e"), std::string::npos) << printed;
  }
  EXPECT_EQ(to_json(JsonValue::floating(1e15)), "1000000000000000.0");
  EXPECT_EQ(to_json(JsonValue::floating(1e-5)), "0.00001");
  EXPECT_EQ(to_json(JsonValue::floating(1e-6)), "1e-6");
  EXPECT_EQ(to_json(JsonValue::floating_from_f32(0.1f)), "0.1");
  EXPECT_EQ(to_json(JsonValue::string("\b\f\n\r\t\x1f\x7f")), R"("\b\f\n\r\t\u001f)" "\x7f\"");
}

TEST(JsonWrite, PrettyFormUsesTwoSpaceIndent) {
  const JsonValue v = JsonValue::object(JsonObject::record({{"d", JsonValue::integer(std::uint64_t{8})},
                                         {"list", JsonValue::array({JsonValue::integer(std::uint64_t{1}),
                                                                    JsonValue::array({})})},
                                         {"state", JsonValue::object(JsonObject())},
                                         {"nested", JsonValue::object({{"x", JsonValue::boolean(true)}})}}));
  EXPECT_EQ(to_json_pretty(v),
            "{\n  \"d\": 8,\n  \"list\": [\n    1,\n    []\n  ],\n  \"state\": {},\n"
            "  \"nested\": {\n    \"x\": true\n  }\n}");
  EXPECT_EQ(to_json_pretty(JsonValue::array({})), "[]");
}

TEST(JsonDecode, MessagesNameTheValueFound) {
  EXPECT_EQ(decode_u64(JsonValue::string("x")).error().message(), "invalid type: string \"x\", expected u64");
  EXPECT_EQ(decode_u64(parse_ok("-1")).error().message(), "invalid value: integer `-1`, expected u64");
  EXPECT_EQ(decode_u32(parse_ok("4294967296")).error().message(),
            "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(decode_u32(parse_ok("1.0")).error().message(), "invalid type: floating point `1.0`, expected u32");
  EXPECT_EQ(decode_string(JsonValue()).error().message(), "invalid type: null, expected a string");
  EXPECT_EQ(decode_bool(parse_ok("[]")).error().message(), "invalid type: sequence, expected a boolean");
  EXPECT_EQ(decode_f64(parse_ok("{}")).error().message(), "invalid type: map, expected f64");
  EXPECT_EQ(decode_f64(parse_ok("3")).value(), 3.0);
  EXPECT_EQ(decode_f32(parse_ok("0.1")).value(), 0.1f);
  EXPECT_EQ(decode_f32(parse_ok("-1e300")).value(), -std::numeric_limits<float>::infinity());
  const std::string_view metrics[] = {"ip", "cosine", "l2"};
  EXPECT_EQ(decode_variant(JsonValue::string("l2"), metrics).value(), 2u);
  EXPECT_EQ(decode_variant(JsonValue::string("dot"), metrics).error().message(),
            "unknown variant `dot`, expected one of `ip`, `cosine`, `l2`");
  EXPECT_EQ(decode_array<float>(parse_ok("[1, 2.5]"), &decode_f32).value(), (std::vector<float>{1.0f, 2.5f}));
  EXPECT_EQ(decode_array<float>(parse_ok("[1, true]"), &decode_f32).error().message(),
            "invalid type: boolean `true`, expected f32");
}

TEST(JsonDecode, RecordsInObjectAndArrayForms) {
  const RecordField fields[] = {{"d", true}, {"fast", false}};
  auto decode = [&](std::string_view text, std::uint64_t& d, bool& fast) {
    d = 0;
    fast = false;
    auto parsed = parse_json(text, {.record_levels = 1});
    if (!parsed.ok()) return Status(std::move(parsed).error());
    return decode_record(*parsed, "Thing", fields, [&](std::size_t i, const JsonValue& v) -> Status {
      if (i == 0) {
        VELQ_ASSIGN_OR_RETURN(d, decode_u64(v));
      } else {
        VELQ_ASSIGN_OR_RETURN(fast, decode_bool(v));
      }
      return ok_status();
    });
  };
  std::uint64_t d = 0;
  bool fast = false;
  ASSERT_TRUE(decode(R"({"other":[1],"fast":true,"d":4})", d, fast).ok());
  EXPECT_EQ(d, 4u);
  EXPECT_TRUE(fast);
  ASSERT_TRUE(decode("[5]", d, fast).ok());
  EXPECT_EQ(d, 5u);
  EXPECT_FALSE(fast);
  EXPECT_EQ(decode(R"({"fast":true})", d, fast).error().message(), "missing field `d`");
  EXPECT_EQ(decode(R"({"d":1,"d":1})", d, fast).error().message(), "duplicate field `d`");
  EXPECT_EQ(decode("[]", d, fast).error().message(), "invalid length 0, expected struct Thing with 2 elements");
  EXPECT_EQ(decode("[1,true,3]", d, fast).error().message(), "invalid length 3, expected fewer elements in array");
  EXPECT_EQ(decode("\"x\"", d, fast).error().message(), "invalid type: string \"x\", expected struct Thing");
  EXPECT_EQ(decode(R"({"d":"4"})", d, fast).error().message(), "invalid type: string \"4\", expected u64");
}

}  // namespace
}  // namespace velq
