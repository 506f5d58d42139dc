// Property: whenever the secondary indexes answer a filter, they select the
// same records as evaluating the filter on every record. Random metadata mixes
// types on purpose: 1 and 1.0, 0.0 and -0.0, integers that round alike as
// doubles, nested objects under "a" next to a top-level property named "a.b".
#include <gtest/gtest.h>

#include "storage/io/file_system.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "common/json_write.h"
#include "storage/metadata/filter.h"
#include "storage/metadata/filter_candidates.h"
#include "storage/metadata/metadata_store.h"

namespace velq::filter {
namespace {

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  JsonValue number() {
    switch (below(15)) {
      case 0: return JsonValue::integer(std::uint64_t{0});
      case 1: return JsonValue::integer(std::uint64_t{1});
      case 2: return JsonValue::integer(std::uint64_t{2});
      case 3: return JsonValue::integer(std::uint64_t{9007199254740992});
      case 4: return JsonValue::integer(std::uint64_t{9007199254740993});
      case 5: return JsonValue::integer(~std::uint64_t{0});
      case 6: return JsonValue::integer(std::int64_t{-1});
      case 7: return JsonValue::integer(std::int64_t{-9223372036854775807 - 1});
      case 8: return JsonValue::floating(0.0);
      case 9: return JsonValue::floating(-0.0);
      case 10: return JsonValue::floating(1.0);
      case 11: return JsonValue::floating(2.5);
      case 12: return JsonValue::floating(-1.0);
      case 13: return JsonValue::floating(9007199254740992.0);
      default: return JsonValue::floating(-1e300);
    }
  }

  JsonValue scalar() {
    switch (below(8)) {
      case 0: return JsonValue::null();
      case 1: return JsonValue::boolean(chance(0.5));
      case 2: return JsonValue::string(kStrings[below(std::size(kStrings))]);
      default: return number();
    }
  }

  JsonValue value(int depth) {
    if (depth > 0 && chance(0.2)) {
      std::vector<JsonMember> members;
      for (std::size_t n = below(3); n > 0; --n) {
        members.emplace_back(kNestedKeys[below(std::size(kNestedKeys))], value(depth - 1));
      }
      return JsonValue::object(std::move(members));
    }
    if (depth > 0 && chance(0.1)) return JsonValue::array({scalar()});
    return scalar();
  }

  VectorMetadata metadata() {
    std::vector<JsonMember> members;
    for (std::size_t n = below(4); n > 0; --n) {
      members.emplace_back(kPropertyNames[below(std::size(kPropertyNames))], value(2));
    }
    return VectorMetadata(JsonObject(std::move(members)), std::nullopt);
  }

  std::string_view path() { return kPaths[below(std::size(kPaths))]; }

  // Equalities on one or two paths, plain or through "$eq".
  JsonObject equality_filter() {
    std::vector<JsonMember> members;
    for (std::size_t n = 1 + below(2); n > 0; --n) {
      JsonValue v = value(1);
      if (chance(0.3)) v = JsonValue::object({JsonMember("$eq", std::move(v))});
      members.emplace_back(path(), std::move(v));
    }
    return JsonObject(std::move(members));
  }

  // One path with one or two comparison operators, now and then with an
  // operand or operator the range index cannot take.
  JsonObject range_filter() {
    static constexpr const char* kComparisons[] = {"$gt", "$gte", "$lt", "$lte"};
    std::vector<JsonMember> ops;
    for (std::size_t n = 1 + below(2); n > 0; --n) {
      ops.emplace_back(kComparisons[below(4)], chance(0.9) ? number() : scalar());
    }
    if (chance(0.05)) ops.emplace_back("$ne", number());
    std::vector<JsonMember> members;
    members.emplace_back(path(), JsonValue::object(std::move(ops)));
    return JsonObject(std::move(members));
  }

 private:
  static constexpr const char* kStrings[] = {"", "a", "b", "a.b", "1"};
  static constexpr const char* kNestedKeys[] = {"b", "c", ""};
  static constexpr const char* kPropertyNames[] = {"a", "b", "c", "a.b", ""};
  static constexpr const char* kPaths[] = {"a", "b", "c", "", "a.b", "a.c", "a.", "b.c"};

  std::mt19937_64 rng_;
};

std::vector<std::uint32_t> scan(const MetadataStore& store, const JsonObject& filter) {
  std::vector<std::uint32_t> slots;
  for (const MetadataEntry& entry : store.entries()) {
    if (metadata_matches_filter(entry.metadata.properties, filter)) slots.push_back(entry.slot);
  }
  std::sort(slots.begin(), slots.end());
  return slots;
}

// The engine's road: trust an exact answer, test a superset record by record.
std::vector<std::uint32_t> answer_from_index(const MetadataStore& store,
                                             const IndexCandidates& candidates,
                                             const JsonObject& filter) {
  if (candidates.exact) return candidates.slots;
  std::vector<std::uint32_t> slots;
  for (const auto& [slot, metadata] : store.get_many(candidates.slots)) {
    if (metadata_matches_filter(metadata.properties, filter)) slots.push_back(slot);
  }
  std::sort(slots.begin(), slots.end());
  return slots;
}

std::string describe(const JsonObject& filter) {
  return to_json(JsonValue::object(filter));
}

TEST(FilterIndexProperty, IndexAnswersEqualFullEvaluation) {
  const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "filter_property";
  std::size_t exact_answers = 0, range_answers = 0;
  for (std::uint64_t seed = 0; seed < 500; ++seed) {
    Generator gen(seed);
    auto opened = MetadataStore::open(local_file_system(), (dir / "metadata.bin").string());
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    MetadataStore& store = *opened;
    for (int step = 0; step < 40; ++step) {
      // Mostly single puts (which replace a slot's values in the indexes),
      // sometimes a batch, sometimes a whole new content.
      std::vector<MetadataEntry> entries;
      for (std::size_t n = gen.chance(0.8) ? 1 : gen.below(30); n > 0; --n) {
        entries.push_back({static_cast<std::uint32_t>(gen.below(40)), gen.metadata()});
      }
      if (gen.chance(0.1)) {
        store.replace_all(std::move(entries));
      } else {
        ASSERT_TRUE(store.put_many(entries).ok());
      }
      for (int query = 0; query < 10; ++query) {
        const JsonObject filter = gen.chance(0.5) ? gen.equality_filter() : gen.range_filter();
        const auto candidates = index_candidates(store, filter);
        if (!candidates) continue;
        (candidates->exact ? exact_answers : range_answers) += 1;
        ASSERT_EQ(answer_from_index(store, *candidates, filter), scan(store, filter))
            << "seed " << seed << " step " << step << " filter " << describe(filter);
      }
    }
  }
  // The property must not hold vacuously: both index roads were taken.
  EXPECT_GT(exact_answers, 10000u);
  EXPECT_GT(range_answers, 10000u);
}

}  // namespace
}  // namespace velq::filter
