#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/json_parse.h"
#include "common/json_write.h"
#include "quantizer/prod_quantizer.h"

namespace velq {
namespace {

// A small quantizer written out by hand: SRHT form, d = 2.
ProdQuantizer tiny(bool dense = false) {
  MseQuantizer mse;
  mse.d = 2;
  mse.n = 2;
  mse.b = 1;
  mse.rotation_signs = {1.0f, -1.0f};
  mse.centroids = {-0.5f, 0.1f};
  if (dense) {
    mse.rotation_signs.clear();
    mse.rotation_matrix = std::vector<float>{1, 0, 0, 1};
  }
  QjlQuantizer qjl;
  qjl.d = 2;
  qjl.n = 2;
  qjl.projection_signs = {-1.0f, -1.0f};
  return ProdQuantizer::from_parts(2, 2, 2, std::move(mse), std::move(qjl), dense);
}

const char kTinyText[] =
    R"({"d":2,"n":2,"b":2,"mse_quantizer":{"d":2,"n":2,"b":1,"rotation_signs":[1.0,-1.0],)"
    R"("centroids":[-0.5,0.1],"rotation_matrix":null},"qjl_quantizer":{"d":2,"n":2,)"
    R"("projection_signs":[-1.0,-1.0],"projection_matrix":null},"fast_mode":false})";

Result<ProdQuantizer> from_text(const std::string& text) {
  auto value = parse_json(text, JsonParseOptions{.record_levels = 3});
  if (!value.ok()) return std::move(value).error();
  return ProdQuantizer::deserialize(*value);
}

std::string error_of(const std::string& text) {
  const auto r = from_text(text);
  return r.ok() ? "(decoded)" : r.error().message();
}

TEST(QuantizerJson, WritesFieldsInOrderWithShortestFloats) {
  // 0.1f prints as 0.1: the shortest text that reads back to the same f32.
  EXPECT_EQ(to_json(tiny().serialize()), kTinyText);
  // Dense rotation, fast mode.
  const ProdQuantizer dense = tiny(true);
  const std::string text = to_json(dense.serialize());
  EXPECT_NE(text.find(R"("rotation_signs":[],"centroids")"), std::string::npos);
  EXPECT_NE(text.find(R"("rotation_matrix":[1.0,0.0,0.0,1.0]})"), std::string::npos);
  EXPECT_NE(text.find(R"("fast_mode":true})"), std::string::npos);
}

TEST(QuantizerJson, RoundTrips) {
  for (const auto& q : {tiny(), ProdQuantizer::new_srht(20, 4, 3), ProdQuantizer::new_dense_fast(3, 3, 4)}) {
    const auto back = from_text(to_json(q.serialize()));
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(*back, q);
  }
}

TEST(QuantizerJson, ObjectsTolerateOrderDefaultsAndExtraKeys) {
  const auto q = from_text(
      R"({"fast_mode_extra":1,"qjl_quantizer":{"n":2,"d":2,"projection_signs":[-1,-1]},)"
      R"("b":2,"n":2,"d":2,"mse_quantizer":{"rotation_matrix":null,"d":2,"n":2,"b":1,)"
      R"("rotation_signs":[1,-1],"centroids":[-0.5,0.1]}})");
  ASSERT_TRUE(q.ok()) << q.error().message();
  EXPECT_EQ(*q, tiny());
  EXPECT_FALSE(q->fast_mode());
  EXPECT_FALSE(q->mse_quantizer().is_dense());
}

// Joins JSON fragments (appending piecewise keeps GCC 12 from a false
// overlap warning on chained string concatenation at -O3).
std::string join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  return join({text.substr(0, at), to, text.substr(at + from.size())});
}

TEST(QuantizerJson, FieldErrors) {
  EXPECT_EQ(error_of(replaced(kTinyText, R"("centroids":[-0.5,0.1],)", "")),
            "missing field `centroids`");
  EXPECT_EQ(error_of(R"({"d":2,"d":2})"), "duplicate field `d`");
  EXPECT_EQ(error_of(R"({"d":"x"})"), R"(invalid type: string "x", expected u64)");
  EXPECT_EQ(error_of(replaced(kTinyText, "false", "0")),
            "invalid type: integer `0`, expected a boolean");
}

TEST(QuantizerJson, ArrayForm) {
  const std::string mse = R"([2,2,1,[1,-1],[-0.5,0.1],null])";
  const std::string qjl = R"([2,2,[-1,-1],null])";
  const auto q = from_text(join({"[2,2,2,", mse, ",", qjl, "]"}));  // no fast_mode: false
  ASSERT_TRUE(q.ok()) << q.error().message();
  EXPECT_EQ(*q, tiny());
  EXPECT_EQ(error_of(join({"[2,2,2,", mse, "]"})),
            "invalid length 4, expected struct ProdQuantizer with 6 elements");
  EXPECT_EQ(error_of(join({"[2,2,2,[2,2,1,[1,-1],[-0.5,0.1]],", qjl, "]"})),
            "invalid length 5, expected struct MseQuantizer with 6 elements");
  EXPECT_EQ(error_of(join({"[2,2,2,", mse, ",[2,2,[-1,-1]]]"})),
            "invalid length 3, expected struct QjlQuantizer with 4 elements");
}

}  // namespace
}  // namespace velq
