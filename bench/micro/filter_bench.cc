// Filter evaluation per record and slot-list intersection, the two costs of
// a filtered search that does not end in vector scoring. The per_record
// counter is seconds per record (printed with an SI prefix: "45n" = 45 ns).
// Run with --benchmark_repetitions=N --benchmark_report_aggregates_only for
// medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/json_parse.h"
#include "common/json_value.h"
#include "storage/metadata/filter.h"
#include "storage/metadata/filter_candidates.h"
#include "storage/metadata/slot_intersect.h"
#include "storage/metadata/metadata_store.h"

namespace {

using velq::JsonMember;
using velq::JsonValue;

constexpr std::size_t kRecords = 100'000;

// Properties shaped like typical product metadata: six, one nested; held as
// the store holds them, one JsonObject per record.
std::vector<velq::JsonObject> make_records() {
  static const char* const kCategories[] = {"books", "music", "film", "games",
                                            "garden", "tools", "toys", "food"};
  static const char* const kWords[] = {"red", "blue", "green", "small", "large", "classic"};
  std::mt19937 rng(11);
  std::vector<velq::JsonObject> records;
  records.reserve(kRecords);
  for (std::size_t i = 0; i < kRecords; ++i) {
    const std::string title = std::string(kWords[rng() % 6]) + " " + kWords[rng() % 6] +
                              " item " + std::to_string(i);
    std::vector<JsonMember> members;
    members.emplace_back("category", JsonValue::string(kCategories[rng() % 8]));
    members.emplace_back("price", JsonValue::floating(static_cast<double>(rng() % 10000) / 100));
    members.emplace_back("stock", JsonValue::integer(static_cast<std::uint64_t>(rng() % 500)));
    members.emplace_back("title", JsonValue::string(title));
    members.emplace_back("tags", JsonValue::array({JsonValue::string("new"),
                                                   JsonValue::string(kWords[rng() % 6])}));
    std::vector<JsonMember> meta;
    meta.emplace_back("rank", JsonValue::integer(static_cast<std::uint64_t>(rng() % 100)));
    members.emplace_back("meta", JsonValue::object(std::move(meta)));
    records.emplace_back(std::move(members));
  }
  return records;
}

void run_filter(benchmark::State& state, const char* filter_text) {
  const std::vector<velq::JsonObject> records = make_records();
  const JsonValue filter = *velq::parse_json(filter_text);
  std::size_t matched = 0;
  for (auto _ : state) {
    matched = 0;
    for (const velq::JsonObject& record : records) {
      matched += velq::filter::metadata_matches_filter(record, filter.as_object()) ? 1 : 0;
    }
    benchmark::DoNotOptimize(matched);
  }
  state.counters["matched"] = static_cast<double>(matched);
  state.counters["per_record"] = benchmark::Counter(
      static_cast<double>(kRecords),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Three conditions; the first fails for 7 records in 8, as most do in practice.
void BM_filter_three_conditions(benchmark::State& state) {
  run_filter(state,
             R"({"category":"books","price":{"$gte":10.0,"$lt":50.0},)"
             R"("title":{"$contains":"blue"}})");
}
BENCHMARK(BM_filter_three_conditions);

// Three conditions that every record has to evaluate in full.
void BM_filter_three_conditions_all_evaluated(benchmark::State& state) {
  run_filter(state,
             R"({"category":{"$ne":"none"},"meta.rank":{"$lt":1000},)"
             R"("title":{"$contains":"item"}})");
}
BENCHMARK(BM_filter_three_conditions_all_evaluated);

std::vector<std::uint32_t> every_kth_slot(std::size_t count, std::uint32_t stride,
                                          std::uint32_t offset) {
  std::vector<std::uint32_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = static_cast<std::uint32_t>(i) * stride + offset;
  return v;
}

// `count` distinct slots below `universe`, ascending.
std::vector<std::uint32_t> random_slots(std::size_t count, std::uint32_t universe,
                                        unsigned seed) {
  std::vector<std::uint32_t> v(universe);
  for (std::uint32_t i = 0; i < universe; ++i) v[i] = i;
  std::shuffle(v.begin(), v.end(), std::mt19937(seed));
  v.resize(count);
  std::sort(v.begin(), v.end());
  return v;
}

void run_intersection(benchmark::State& state, const std::vector<std::uint32_t>& a,
                      const std::vector<std::uint32_t>& b) {
  std::size_t result = 0;
  for (auto _ : state) {
    const std::vector<std::uint32_t> both = velq::intersect_slots(a, b);
    result = both.size();
    benchmark::DoNotOptimize(both.data());
  }
  state.counters["result"] = static_cast<double>(result);
}

// Two lists of 100,000 slots out of 400,000, randomly interleaved.
void BM_intersect_100k_random(benchmark::State& state) {
  run_intersection(state, random_slots(100'000, 400'000, 1), random_slots(100'000, 400'000, 2));
}
BENCHMARK(BM_intersect_100k_random)->Unit(benchmark::kMicrosecond);

// 1,000 slots against 100,000: the galloping road.
void BM_intersect_1k_by_100k(benchmark::State& state) {
  run_intersection(state, random_slots(1'000, 400'000, 3), every_kth_slot(100'000, 4, 0));
}
BENCHMARK(BM_intersect_1k_by_100k)->Unit(benchmark::kMicrosecond);

// 400,000 records: color is "red" on every fourth slot; shape is "round" on
// a random quarter, so the two lists interleave like independent properties
// do; batch names runs of 1,000 consecutive slots. Null when the store
// cannot be opened.
const velq::MetadataStore* indexed_store() {
  static const auto store = [] {
    const auto path =
        std::filesystem::temp_directory_path() / "velq_filter_bench" / "metadata.bin";
    auto opened = velq::MetadataStore::open(velq::local_file_system(), path.string());
    if (!opened.ok()) return std::optional<velq::MetadataStore>();
    const std::vector<std::uint32_t> round = random_slots(100'000, 400'000, 5);
    std::vector<velq::MetadataEntry> entries(400'000);
    for (std::uint32_t slot = 0; slot < entries.size(); ++slot) {
      const bool is_round = std::binary_search(round.begin(), round.end(), slot);
      std::vector<JsonMember> members;
      members.emplace_back("color", JsonValue::string(slot % 4 == 0 ? "red" : "blue"));
      members.emplace_back("shape", JsonValue::string(is_round ? "round" : "square"));
      members.emplace_back("batch", JsonValue::integer(std::uint64_t{slot / 1000}));
      entries[slot] = {slot, velq::VectorMetadata(velq::JsonObject(std::move(members)),
                                                  std::nullopt)};
    }
    opened->replace_all(std::move(entries));
    return std::optional<velq::MetadataStore>(std::move(*opened));
  }();
  return store ? &*store : nullptr;
}

// The equality road of a filtered search through index_candidates, as the
// engine calls it: the index lookups and the intersection of their lists.
void run_eq_candidates(benchmark::State& state, const char* filter_text) {
  const velq::MetadataStore* store = indexed_store();
  if (store == nullptr) {
    state.SkipWithError("cannot open the metadata store");
    return;
  }
  const JsonValue filter = *velq::parse_json(filter_text);
  std::size_t result = 0;
  for (auto _ : state) {
    const auto candidates = velq::filter::index_candidates(*store, filter.as_object());
    result = candidates ? candidates->slots.size() : 0;
    benchmark::DoNotOptimize(result);
  }
  state.counters["result"] = static_cast<double>(result);
}

// Two lists of 100,000 slots.
void BM_eq_candidates_100k_and_100k(benchmark::State& state) {
  run_eq_candidates(state, R"({"color":"red","shape":"round"})");
}
BENCHMARK(BM_eq_candidates_100k_and_100k)->Unit(benchmark::kMicrosecond);

// 100,000 slots and 1,000: the short list leads and gallops.
void BM_eq_candidates_100k_and_1k(benchmark::State& state) {
  run_eq_candidates(state, R"({"color":"red","batch":7})");
}
BENCHMARK(BM_eq_candidates_100k_and_1k)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
