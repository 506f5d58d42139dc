#include "storage/metadata/filter.h"

#include <gtest/gtest.h>

#include <string>

#include "common/json_parse.h"

namespace velq::filter {
namespace {

struct MatchCase {
  const char* filter;
  const char* properties;
  bool matches;
};

// One row per edge case: the filter, a vector's properties, and whether the
// filter holds for them.
constexpr MatchCase kMatchCases[] = {
    // Empty filters and empty operator objects.
    {R"({})", R"({})", true},
    {R"({"x":{}})", R"({})", true},
    // $and / $or shapes.
    {R"({"$and":[]})", R"({})", true},
    {R"({"$or":[]})", R"({})", false},
    {R"({"$or":[1,2]})", R"({})", false},
    {R"({"$and":[1]})", R"({})", false},
    {R"({"$and":5})", R"({})", false},
    {R"({"$or":[1,{"x":1}]})", R"({"x":1})", true},
    {R"({"$or":[{"x":2},{"y":{"$exists":false}}]})", R"({"x":1})", true},
    {R"({"$or":[{"x":2},{"y":3}]})", R"({"x":1})", false},
    {R"({"$and":[{"x":1},{"y":2}]})", R"({"x":1,"y":3})", false},
    {R"({"$and":[{"$or":[{"x":1},{"x":2}]},{"y":{"$gt":1}}]})", R"({"x":2,"y":2})", true},
    {R"({"$and":[{}],"x":1})", R"({"x":1})", true},
    // An unknown top-level "$" key is a field path, normally absent.
    {R"({"$not":{}})", R"({})", true},
    {R"({"$not":1})", R"({})", false},
    {R"({"$not":1})", R"({"$not":1})", true},
    // Implicit equality, null versus absent.
    {R"({"x":null})", R"({"x":null})", true},
    {R"({"x":null})", R"({})", false},
    {R"({"x":{"$exists":true}})", R"({"x":null})", true},
    {R"({"x":{"$exists":false}})", R"({"x":null})", false},
    {R"({"x":{"$exists":false}})", R"({})", true},
    {R"({"x":{"$exists":1}})", R"({"x":1})", false},
    // Typed equality: integers and floats never meet, -0.0 equals 0.0.
    {R"({"x":1})", R"({"x":1.0})", false},
    {R"({"x":1.0})", R"({"x":1})", false},
    {R"({"x":0.0})", R"({"x":-0.0})", true},
    {R"({"x":-0.0})", R"({"x":0.0})", true},
    {R"({"x":{"$eq":-0.0}})", R"({"x":0.0})", true},
    {R"({"x":"1"})", R"({"x":1})", false},
    {R"({"x":true})", R"({"x":1})", false},
    {R"({"x":18446744073709551615})", R"({"x":18446744073709551615})", true},
    {R"({"x":-9223372036854775808})", R"({"x":-9223372036854775808})", true},
    // Arrays and objects: equal only as wholes, objects only through $eq.
    {R"({"t":["a","b"]})", R"({"t":["a","b"]})", true},
    {R"({"t":["a","b"]})", R"({"t":["b","a"]})", false},
    {R"({"t":[1]})", R"({"t":[1.0]})", false},
    {R"({"m":{"k":1}})", R"({"m":{"k":1}})", false},
    {R"({"m":{"$eq":{"k":1,"j":[2]}}})", R"({"m":{"j":[2],"k":1}})", true},
    {R"({"m":{"$eq":{"k":1}}})", R"({"m":{"k":1,"j":2}})", false},
    {R"({"m":{"$eq":{"k":1}}})", R"({"m":{"k":1.0}})", false},
    // $eq / $ne.
    {R"({"x":{"$eq":1}})", R"({})", false},
    {R"({"x":{"$ne":1}})", R"({})", true},
    {R"({"x":{"$ne":1}})", R"({"x":"1"})", true},
    {R"({"x":{"$ne":1}})", R"({"x":1})", false},
    {R"({"x":{"$ne":null}})", R"({"x":null})", false},
    // $in / $nin.
    {R"({"x":{"$in":[1,2]}})", R"({"x":2})", true},
    {R"({"x":{"$in":[1,2]}})", R"({"x":2.0})", false},
    {R"({"x":{"$in":[]}})", R"({"x":1})", false},
    {R"({"x":{"$in":1}})", R"({"x":1})", false},
    {R"({"t":{"$in":["a"]}})", R"({"t":["a"]})", false},
    {R"({"t":{"$in":[["a"]]}})", R"({"t":["a"]})", true},
    {R"({"x":{"$nin":3}})", R"({})", false},
    {R"({"x":{"$nin":3}})", R"({"x":1})", false},
    {R"({"x":{"$nin":[]}})", R"({})", true},
    {R"({"x":{"$nin":[1]}})", R"({})", true},
    {R"({"x":{"$nin":[1,2]}})", R"({"x":2})", false},
    // Ordered comparisons: numbers as f64, strings byte-wise, no mixing.
    {R"({"x":{"$gt":1}})", R"({"x":1.5})", true},
    {R"({"x":{"$gte":1}})", R"({"x":1.0})", true},
    {R"({"x":{"$lte":-1}})", R"({"x":-1.0})", true},
    {R"({"x":{"$lt":0}})", R"({"x":-0.0})", false},
    {R"({"x":{"$gte":0}})", R"({"x":-0.0})", true},
    {R"({"x":{"$gt":-1}})", R"({"x":18446744073709551615})", true},
    {R"({"x":{"$lt":0}})", R"({"x":-9223372036854775808})", true},
    {R"({"x":{"$gt":9007199254740992}})", R"({"x":9007199254740993})", false},
    {R"({"x":{"$gt":1,"$lt":1}})", R"({"x":1})", false},
    {R"({"x":{"$gt":"5"}})", R"({"x":7})", false},
    {R"({"x":{"$gt":5}})", R"({"x":"7"})", false},
    {R"({"x":{"$lt":5}})", R"({"x":null})", false},
    {R"({"x":{"$lt":[5]}})", R"({"x":[1]})", false},
    {R"({"name":{"$gte":"b"}})", R"({"name":"b"})", true},
    {R"({"name":{"$gte":"b"}})", R"({"name":"ba"})", true},
    {R"({"name":{"$gte":"b"}})", R"({"name":"a"})", false},
    {R"({"name":{"$gte":"b"}})", R"({"name":"B"})", false},
    {R"({"name":{"$lt":"ab"}})", R"({"name":"a"})", true},
    {R"({"name":{"$gt":"a"}})", R"({"name":"\u00e9"})", true},
    // $contains: strings only, byte substrings.
    {R"({"s":{"$contains":"ell"}})", R"({"s":"hello"})", true},
    {R"({"s":{"$contains":"z"}})", R"({"s":"hello"})", false},
    {R"({"s":{"$contains":""}})", R"({"s":""})", true},
    {R"({"s":{"$contains":"hello!"}})", R"({"s":"hello"})", false},
    {R"({"s":{"$contains":"lo"}})", R"({"s":"hellollo"})", true},
    {R"({"s":{"$contains":"a"}})", R"({"s":["a"]})", false},
    {R"({"s":{"$contains":1}})", R"({"s":"1"})", false},
    // Dotted paths reach into nested objects only.
    {R"({"a.b":1})", R"({"a":{"b":1}})", true},
    {R"({"a.b":1})", R"({"a":[{"b":1}]})", false},
    {R"({"a.b":1})", R"({"a.b":1})", false},
    {R"({"a.b.c":{"$gt":2}})", R"({"a":{"b":{"c":3}}})", true},
    {R"({"a.b.c":{"$exists":false}})", R"({"a":{"b":5}})", true},
    {R"({"a.":1})", R"({"a":{"":1}})", true},
    {R"({".a":1})", R"({"":{"a":1}})", true},
    {R"({"a.b":{"$ne":1}})", R"({"a":1})", true},
    // Operator objects with unknown operators never hold.
    {R"({"x":{"$foo":1}})", R"({"x":1})", false},
    {R"({"x":{"$eq":1,"$foo":1}})", R"({"x":1})", false},
    {R"({"meta":{"k":1}})", R"({"meta":{"k":1}})", false},
};

TEST(FilterMatch, EdgeCases) {
  for (const MatchCase& c : kMatchCases) {
    auto filter = parse_json(c.filter);
    auto properties = parse_json(c.properties);
    ASSERT_TRUE(filter.ok() && properties.ok()) << c.filter << " on " << c.properties;
    EXPECT_EQ(metadata_matches_filter(properties->as_object(), filter->as_object()), c.matches)
        << c.filter << " on " << c.properties;
  }
}

struct ValidateCase {
  const char* filter;
  const char* error;  // empty: accepted
};

constexpr ValidateCase kValidateCases[] = {
    {R"({})", ""},
    {R"({"x":{}})", ""},
    {R"({"x":[1]})", ""},
    {R"({"x":{"$eq":{"$bogus":1}}})", ""},
    {R"({"$and":5})", ""},
    {R"({"$or":[1,"a",{"x":{"$in":[]}}]})", ""},
    {R"({"x":{"$eq":1,"$ne":1,"$gt":1,"$gte":1,"$lt":1,"$lte":1,"$in":[],"$nin":[],"$exists":true,"$contains":"a"}})", ""},
    {R"({"$not":{}})", "unknown top-level filter operator '$not'"},
    {R"({"x":{"$foo":1}})", "unknown filter operator '$foo' on field 'x'"},
    {R"({"meta":{"k":1}})", "unknown filter operator 'k' on field 'meta'"},
    {R"({"a.b":{"$eq":1,"$zz":2,"$aa":3}})", "unknown filter operator '$aa' on field 'a.b'"},
    {R"({"":{"$x":1}})", "unknown filter operator '$x' on field ''"},
    {R"({"$and":[{"x":1},{"$or":[{"y":{"$bad":1}}]}]})", "unknown filter operator '$bad' on field 'y'"},
    {R"({"$or":[{"$nor":[]}]})", "unknown top-level filter operator '$nor'"},
};

TEST(FilterValidate, Messages) {
  for (const ValidateCase& c : kValidateCases) {
    auto filter = parse_json(c.filter);
    ASSERT_TRUE(filter.ok()) << c.filter;
    const Status status = validate_filter_operators(filter->as_object());
    if (*c.error == '\0') {
      EXPECT_TRUE(status.ok()) << c.filter << ": " << status.error().message();
    } else {
      ASSERT_FALSE(status.ok()) << c.filter;
      EXPECT_EQ(status.error().message(), c.error) << c.filter;
    }
  }
}

}  // namespace
}  // namespace velq::filter
