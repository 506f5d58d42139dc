// insert_many_with_mode of 100,000 new vectors (b = 4) into
// an open database, and the serial half of the same writes on its own: id
// checks, the log append, slot writes, raw vectors, the id pool and the
// metadata, with the items already normalised, serialised and quantized.
// Arguments: dimension, raw-vector precision (0 none, 2 f16), rotation (0
// dense, 1 srht). The pool size comes from RAYON_NUM_THREADS: run once with 1
// and once unset to compare.
// The flush threshold is above the batch, so no flush is timed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/worker_pool.h"
#include "engine/batch_chunk.h"
#include "engine/recovery.h"
#include "engine/writes.h"

namespace {

constexpr std::size_t kItems = 100'000;

struct BenchDb {
  std::string dir;
  std::unique_ptr<velq::EngineState> state;

  BenchDb(std::size_t d, int precision, bool srht) {
    const char* tmp = std::getenv("TMPDIR");
    dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/velq_bench_engine_write";
    std::filesystem::remove_all(dir);
    velq::EngineOptions o;
    o.storage_uri = o.local_dir = dir;
    o.d = d;
    o.rerank_precision = static_cast<velq::RerankPrecision>(precision);
    o.wal_flush_threshold = 1ull << 40;
    if (srht) o.quantizer_type = "srht";
    auto opened = velq::open_engine_state(o);
    if (!opened.ok()) {
      std::fprintf(stderr, "%s\n", opened.error().message().c_str());
      std::exit(1);
    }
    state = std::move(opened).value();
  }
  ~BenchDb() {
    state.reset();
    std::filesystem::remove_all(dir);
  }
};

// Rows with ids from `first` on, a few metadata properties each.
struct Items {
  std::vector<float> values;
  std::vector<std::string> ids;
  std::vector<velq::JsonObject> metadatas;
  std::vector<std::optional<std::string>> documents;

  velq::WriteRows rows() { return {values, ids, metadatas, documents}; }
};

Items make_items(std::size_t first, std::size_t d) {
  Items items;
  items.values.resize(kItems * d);
  items.ids.resize(kItems);
  items.metadatas.resize(kItems);
  items.documents.resize(kItems);
  std::mt19937 gen(static_cast<unsigned>(first));
  std::normal_distribution<float> normal;
  for (float& x : items.values) x = normal(gen);
  for (std::size_t i = 0; i < kItems; ++i) {
    items.ids[i] = "doc-" + std::to_string(first + i);
    std::vector<velq::JsonMember> members;
    members.emplace_back("n", velq::JsonValue::integer(std::uint64_t{i}));
    members.emplace_back("tag", velq::JsonValue::string(i % 2 ? "odd" : "even"));
    items.metadatas[i] = velq::JsonObject(std::move(members));
  }
  return items;
}

void report(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kItems));
  state.counters["threads"] = static_cast<double>(velq::pool_thread_count());
}

void BM_InsertMany(benchmark::State& state) {
  const auto d = static_cast<std::size_t>(state.range(0));
  BenchDb db(d, static_cast<int>(state.range(1)), state.range(2) != 0);
  std::size_t first = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Items items = make_items(first, d);
    first += kItems;
    state.ResumeTiming();
    const velq::Status written = velq::write_rows(*db.state, items.rows(), velq::WriteMode::kInsert);
    if (!written.ok()) state.SkipWithError(written.error().message().c_str());
  }
  report(state);
}

void BM_SerialPart(benchmark::State& state) {
  const auto d = static_cast<std::size_t>(state.range(0));
  BenchDb db(d, static_cast<int>(state.range(1)), state.range(2) != 0);
  std::size_t first = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Items items = make_items(first, d);
    first += kItems;
    const std::vector<std::string> heads = items.ids;  // ids only, for the checks
    std::vector<velq::PreparedChunk> chunks;
    for (std::size_t at = 0; at < kItems; at += velq::kBatchChunkItems) {
      const velq::WriteRows chunk =
          items.rows().slice(at, std::min(velq::kBatchChunkItems, kItems - at));
      chunks.push_back(std::move(velq::prepare_chunk(*db.state, chunk).value()));
    }
    state.ResumeTiming();
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      const std::span<const std::string> ids(heads.data() + c * velq::kBatchChunkItems,
                                             chunks[c].entries.size());
      const std::size_t new_ids = velq::check_chunk_ids(*db.state, ids, velq::WriteMode::kInsert).value();
      const velq::Status committed = velq::commit_chunk(*db.state, std::move(chunks[c]), new_ids);
      if (!committed.ok()) state.SkipWithError(committed.error().message().c_str());
    }
  }
  report(state);
}

void args(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{384, 1536}, {0, 2}, {0, 1}});
  b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
  b->UseRealTime();
}

BENCHMARK(BM_InsertMany)->Apply(args);
BENCHMARK(BM_SerialPart)->Apply(args);

}  // namespace

BENCHMARK_MAIN();
