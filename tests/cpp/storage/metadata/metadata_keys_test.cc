#include "storage/metadata/metadata_keys.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/json_parse.h"

namespace velq {
namespace {

std::optional<std::string> key_of(std::string_view json) { return value_to_index_key(parse_json(json).value()); }

TEST(MetadataKeys, EqualityKeysAreTyped) {
  EXPECT_EQ(key_of("null"), "z:");
  EXPECT_EQ(key_of("true"), "b:true");
  EXPECT_EQ(key_of("false"), "b:false");
  EXPECT_EQ(key_of("42"), "n:42");
  EXPECT_EQ(key_of("-7"), "n:-7");
  EXPECT_EQ(key_of("1.0"), "n:1.0");
  EXPECT_EQ(key_of("0.25"), "n:0.25");
  EXPECT_EQ(key_of("\"red\""), "s:red");
  EXPECT_EQ(key_of("\"42\""), "s:42");
  EXPECT_EQ(key_of("[1]"), std::nullopt);
  EXPECT_EQ(key_of("{}"), std::nullopt);
  // 0.0 and -0.0 are equal to the filter, so they share a key.
  EXPECT_EQ(key_of("-0.0"), "n:0.0");
  EXPECT_EQ(key_of("0.0"), "n:0.0");
}

TEST(MetadataKeys, OrderKeysFollowNumericOrder) {
  const std::vector<double> ascending = {-std::numeric_limits<double>::max(), -1e10, -1.5, -1.0,
                                         -std::numeric_limits<double>::denorm_min(), 0.0,
                                         std::numeric_limits<double>::denorm_min(), 0.25, 1.0, 3.0,
                                         1e300, std::numeric_limits<double>::max()};
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(*f64_order_key(ascending[i - 1]), *f64_order_key(ascending[i])) << ascending[i];
  }
  EXPECT_EQ(f64_order_key(0.0), 0x8000000000000000ull);
  EXPECT_EQ(f64_order_key(-0.0), f64_order_key(0.0));
  EXPECT_EQ(f64_order_key(std::nan("")), std::nullopt);
  EXPECT_EQ(f64_order_key(-HUGE_VAL), std::nullopt);
  // Integers key by their double: 3 and 3.0 share a key, as do 2^53 and 2^53+1.
  EXPECT_EQ(number_order_key(parse_json("3").value()), f64_order_key(3.0));
  EXPECT_EQ(number_order_key(parse_json("-3").value()), f64_order_key(-3.0));
  EXPECT_EQ(number_order_key(parse_json("9007199254740993").value()),
            number_order_key(parse_json("9007199254740992").value()));
  EXPECT_EQ(number_order_key(parse_json("\"3\"").value()), std::nullopt);
}

}  // namespace
}  // namespace velq
