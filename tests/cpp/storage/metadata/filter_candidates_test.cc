#include "storage/metadata/filter_candidates.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/json_parse.h"
#include "common/json_write.h"

namespace velq::filter {
namespace {

JsonValue parse(const char* text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? std::move(parsed).value() : JsonValue();
}

// Pairs as "field=value" texts; empty when nothing is extracted.
std::vector<std::string> eq_pairs(const char* filter_text) {
  const JsonValue filter = parse(filter_text);
  std::vector<std::string> out;
  if (const auto pairs = extract_indexable_eq(filter.as_object())) {
    EXPECT_FALSE(pairs->empty()) << filter_text;
    for (const EqCondition& pair : *pairs) {
      out.push_back(std::string(pair.field) + "=" + to_json(*pair.value));
    }
  }
  return out;
}

using Pairs = std::vector<std::string>;

TEST(FilterExtract, EqualityPairs) {
  EXPECT_EQ(eq_pairs(R"({"color":"red","size":{"$eq":3}})"), (Pairs{"color=\"red\"", "size=3"}));
  EXPECT_EQ(eq_pairs(R"({"tags":["a","b"]})"), (Pairs{R"(tags=["a","b"])"}));
  EXPECT_EQ(eq_pairs(R"({"x":null,"y":{"$eq":{"k":1}}})"), (Pairs{"x=null", R"(y={"k":1})"}));
  EXPECT_EQ(eq_pairs(R"({"":-0.0})"), (Pairs{"=-0.0"}));
  // Shapes the equality index cannot answer.
  for (const char* filter : {
           R"({})",
           R"({"color":"red","size":{"$gt":3}})",
           R"({"$and":[{"a":1}]})",
           R"({"$or":[{"a":1}],"b":2})",
           R"({"$foo":1})",
           R"({"x":{}})",
           R"({"x":{"$eq":1,"$ne":2}})",
           R"({"x":{"$in":[1]}})",
           R"({"a.b":1})",
           R"({"a":1,"b.c":{"$eq":2}})",
           R"({"a.":1})",
       }) {
    EXPECT_EQ(eq_pairs(filter), Pairs{}) << filter;
  }
}

std::optional<RangeCondition> range_of(const char* filter_text, JsonValue& storage) {
  storage = parse(filter_text);
  return extract_range_condition(storage.as_object());
}

std::uint64_t key_of(double v) { return *f64_order_key(v); }

TEST(FilterExtract, RangeBounds) {
  JsonValue filter;
  auto r = range_of(R"({"size":{"$gt":3,"$lte":10}})", filter);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->field, "size");
  EXPECT_EQ(r->lower.kind, BoundKind::kExclusive);
  EXPECT_EQ(r->lower.key, key_of(3));
  EXPECT_EQ(r->upper.kind, BoundKind::kInclusive);
  EXPECT_EQ(r->upper.key, key_of(10));

  // The inclusive operator of a side wins over the exclusive one.
  r = range_of(R"({"size":{"$gt":3,"$gte":5}})", filter);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->lower.kind, BoundKind::kInclusive);
  EXPECT_EQ(r->lower.key, key_of(5));
  EXPECT_TRUE(r->upper.is_unbounded());
  r = range_of(R"({"size":{"$lte":5,"$lt":9}})", filter);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->upper.kind, BoundKind::kInclusive);
  EXPECT_EQ(r->upper.key, key_of(5));

  // An inverted range is still extracted: the lookup answers it as empty.
  r = range_of(R"({"size":{"$gt":5,"$lt":3}})", filter);
  ASSERT_TRUE(r);
  EXPECT_GT(r->lower.key, r->upper.key);

  // -0.0 is keyed as +0.0, so a stored 0.0 lies within [-0.0, ...).
  r = range_of(R"({"x":{"$gte":-0.0}})", filter);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->lower.key, key_of(0.0));

  // Integer operands convert to f64 first.
  r = range_of(R"({"x":{"$lt":-7,"$gte":-9223372036854775808}})", filter);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->upper.key, key_of(-7.0));
  EXPECT_EQ(r->lower.key, key_of(-9223372036854775808.0));

  for (const char* text : {
           R"({})",
           R"({"size":{"$gt":"3"}})",
           R"({"size":{"$gt":3,"$ne":4}})",
           R"({"size":{}})",
           R"({"size":5})",
           R"({"size":{"$gt":null}})",
           R"({"a":{"$gt":1},"b":{"$lt":2}})",
           R"({"$and":[{"a":{"$gt":1}}]})",
           R"({"$gt":{"$gt":1}})",
           R"({"a.b":{"$gt":1}})",
       }) {
    EXPECT_FALSE(range_of(text, filter)) << text;
  }
}

}  // namespace
}  // namespace velq::filter
