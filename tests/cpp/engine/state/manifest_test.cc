#include "engine/state/manifest.h"

#include <gtest/gtest.h>

#include <string>


namespace velq {
namespace {

std::span<const std::uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string parse_error(const std::string& text) {
  const Result<Manifest> m = Manifest::parse(bytes(text));
  EXPECT_FALSE(m.ok()) << text;
  if (m.ok()) return "";
  EXPECT_EQ(m.error().kind(), ErrorKind::kCorruption);
  return m.error().message();
}

Manifest sample() {
  Manifest m;
  m.d = 384;
  m.b = 4;
  m.seed = 42;
  m.vector_count = 7;
  m.storage_uri = "/data/db";
  m.metric = DistanceMetric::kCosine;
  m.rerank_precision = RerankPrecision::kF16;
  m.quantizer_type = "dense";
  return m;
}

TEST(Manifest, PrettyFormInFieldOrder) {
  Manifest m = sample();
  EXPECT_EQ(m.to_json(),
            "{\n"
            "  \"version\": 2,\n"
            "  \"d\": 384,\n"
            "  \"b\": 4,\n"
            "  \"seed\": 42,\n"
            "  \"vector_count\": 7,\n"
            "  \"storage_uri\": \"/data/db\",\n"
            "  \"metric\": \"cosine\",\n"
            "  \"index_state\": null,\n"
            "  \"fast_mode\": false,\n"
            "  \"rerank_enabled\": true,\n"
            "  \"rerank_precision\": \"f16\",\n"
            "  \"normalize\": false,\n"
            "  \"quantizer_type\": \"dense\"\n"
            "}");
  m.index_state = IndexState{32, 200, 64, 1.2, 7};
  const std::string text = m.to_json();
  EXPECT_NE(text.find("  \"index_state\": {\n    \"max_degree\": 32,\n"), std::string::npos);
  EXPECT_NE(text.find("\"alpha\": 1.2,"), std::string::npos);
  EXPECT_EQ(*Manifest::parse(bytes(text)), m);
  // A quantizer held in the manifest is written and read back.
  m.quantizer = ProdQuantizer::new_srht(8, 3, 1);
  EXPECT_EQ(*Manifest::parse(bytes(m.to_json())), m);
}

TEST(Manifest, ReadingRules) {
  // Defaults for the optional keys, any order, unknown keys skipped.
  const Manifest m = *Manifest::parse(bytes(
      R"({"storage_uri":"x","extra":[1,{"a":2}],"seed":1,"vector_count":0,"b":4,"d":8,"version":2})"));
  EXPECT_EQ(m.metric, DistanceMetric::kIp);
  EXPECT_TRUE(m.rerank_enabled);
  EXPECT_EQ(m.rerank_precision, RerankPrecision::kDisabled);
  EXPECT_EQ(m.quantizer_type, "");
  EXPECT_FALSE(m.index_state.has_value());
  // The array form, positionally.
  const Manifest a = *Manifest::parse(bytes(R"([2,8,4,1,0,"x",null,"l2"])"));
  EXPECT_EQ(a.metric, DistanceMetric::kL2);
  EXPECT_EQ(a.d, 8u);

  EXPECT_EQ(parse_error(R"({"version":2,"d":8,"b":4,"seed":1,"vector_count":0})"),
            "missing field `storage_uri`");
  EXPECT_EQ(parse_error(R"({"version":2,"d":8,"d":8,"b":4,"seed":1,"vector_count":0,"storage_uri":""})"),
            "duplicate field `d`");
  EXPECT_EQ(parse_error(R"({"version":2,"d":8,"b":4,"seed":1,"vector_count":0,"storage_uri":"","metric":"IP"})"),
            "unknown variant `IP`, expected one of `ip`, `cosine`, `l2`");
  EXPECT_NE(parse_error(R"({"version":2,"d":8,"b":4,"seed":1,"vector_count":0,"storage_uri":"",)"
                        R"("index_state":{"max_degree":1}})")
                .find("missing field"),
            std::string::npos);
  EXPECT_NE(parse_error(R"([2,8])").find("invalid length 2"), std::string::npos);
  EXPECT_NE(parse_error("{").find("invalid JSON"), std::string::npos);
  EXPECT_NE(parse_error(R"({"version":-1})").find("invalid value"), std::string::npos);
}

TEST(IdLists, PrettyArraysRoundTrip) {
  EXPECT_EQ(serialize_index_ids({}), "[]");
  const std::vector<std::uint32_t> ids = {3, 5};
  EXPECT_EQ(serialize_index_ids(ids), "[\n  3,\n  5\n]");
  EXPECT_EQ(*parse_index_ids(bytes(serialize_index_ids(ids))), ids);
  EXPECT_TRUE(parse_index_ids(bytes("[]"))->empty());
  for (const char* bad : {"[4294967296]", "[-1]", "[1.5]", "{}", "[", "[\"1\"]"}) {
    const auto r = parse_index_ids(bytes(bad));
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind(), ErrorKind::kCorruption);
  }
}

}  // namespace
}  // namespace velq
