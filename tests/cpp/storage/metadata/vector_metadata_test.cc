#include "storage/metadata/vector_metadata.h"

#include <gtest/gtest.h>

#include "common/json_parse.h"

namespace velq {
namespace {

JsonObject props(std::string_view json) { return parse_json(json).value().as_object(); }

std::string error_of(std::string_view text) {
  auto r = metadata_from_json(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? "" : r.error().message();
}

TEST(VectorMetadata, WritesPropertiesThenDocument) {
  const VectorMetadata with_doc(props(R"({"b":{"y":1,"x":[1.0,-2]},"a":"q"})"), "hello \"doc\"");
  EXPECT_EQ(metadata_to_json(with_doc).value(),
            R"({"properties":{"a":"q","b":{"x":[1.0,-2],"y":1}},"document":"hello \"doc\""})");
  EXPECT_EQ(metadata_to_json(VectorMetadata()).value(), R"({"properties":{},"document":null})");
  for (const VectorMetadata& m : {with_doc, VectorMetadata(), VectorMetadata(props("{}"), "")}) {
    EXPECT_EQ(metadata_from_json(metadata_to_json(m).value()).value(), m);
  }
}

TEST(VectorMetadata, ReadsEveryAcceptedForm) {
  const VectorMetadata no_doc = metadata_from_json(R"({"properties":{}})").value();
  EXPECT_TRUE(no_doc.properties.empty());
  EXPECT_EQ(no_doc.document(), std::nullopt);
  const VectorMetadata reordered =
      metadata_from_json(R"({"extra":[{}],"document":"d","properties":{"k":5,"k":6}})").value();
  EXPECT_EQ(reordered.document(), "d");
  EXPECT_EQ(reordered.properties.find("k")->as_unsigned(), 6u);  // a map keeps the last value
  EXPECT_EQ(metadata_from_json(R"({"properties":{"n":1},"document":null})").value().document(), std::nullopt);
  const VectorMetadata array_form = metadata_from_json(R"([{"n":1},"doc"])").value();
  EXPECT_EQ(array_form.document(), "doc");
  EXPECT_EQ(*array_form.properties.find("n"), JsonValue::integer(std::uint64_t{1}));
  EXPECT_EQ(metadata_from_json(R"([{"n":1}])").value().document(), std::nullopt);
}

TEST(VectorMetadata, RefusesMalformedRecords) {
  EXPECT_EQ(error_of(R"({"document":"d"})"), "missing field `properties`");
  EXPECT_EQ(error_of(R"({"properties":{},"properties":{}})"), "duplicate field `properties`");
  EXPECT_EQ(error_of(R"({"properties":{},"document":1,"document":null})"),
            "invalid type: integer `1`, expected a string");
  EXPECT_EQ(error_of(R"({"properties":[]})"), "invalid type: sequence, expected a map");
  EXPECT_EQ(error_of("[]"), "invalid length 0, expected struct VectorMetadata with 2 elements");
  EXPECT_EQ(error_of(R"([{},null,3])"), "invalid length 3, expected fewer elements in array");
  EXPECT_EQ(error_of("7"), "invalid type: integer `7`, expected struct VectorMetadata");
  EXPECT_FALSE(metadata_from_json(R"({"properties":{})").ok());
}

TEST(VectorMetadata, RefusesToWriteWhatCouldNotBeReadBack) {
  // Nesting inside one property value: the record adds two levels around it.
  auto nested = [](std::size_t levels) {
    JsonValue v = JsonValue::integer(std::uint64_t{1});
    for (std::size_t i = 0; i < levels; ++i) v = JsonValue::array({v});
    return VectorMetadata(JsonObject({{"deep", v}}), std::nullopt);
  };
  const auto deepest = metadata_to_json(nested(kMaxJsonDepth - 2));
  ASSERT_TRUE(deepest.ok());
  EXPECT_TRUE(metadata_from_json(*deepest).ok());
  const auto too_deep = metadata_to_json(nested(kMaxJsonDepth - 1));
  ASSERT_FALSE(too_deep.ok());
  EXPECT_NE(too_deep.error().message().find("nested too deeply"), std::string::npos);
}

}  // namespace
}  // namespace velq
