// IdPool against a std::unordered_map<std::string, std::uint32_t> on one
// million 20-byte ids, measured in the same run: insert and lookup time per
// id (lookups in shuffled order) and heap bytes per id; then live_ids.bin
// write and load time. Prints Google Benchmark's table (medians of 5
// interleaved runs) and a summary with ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/io/file_io.h"
#include "storage/slots/id_pool.h"

namespace {

// Heap bytes currently allocated through operator new. Each block carries
// its size in a 16-byte header so that frees can be subtracted.
std::size_t g_live_heap_bytes = 0;

constexpr std::size_t kIds = 1'000'000;
constexpr std::size_t kIdBytes = 20;

const std::vector<std::string>& ids() {
  static const std::vector<std::string> all = [] {
    std::mt19937_64 rng(2024);
    std::vector<std::string> out;
    out.reserve(kIds);
    char buf[32];
    for (std::size_t i = 0; i < kIds; ++i) {
      std::snprintf(buf, sizeof buf, "doc-%016llx", static_cast<unsigned long long>(rng()));
      out.emplace_back(buf, kIdBytes);
    }
    return out;
  }();
  return all;
}

// The ids in a shuffled order, so lookups do not walk memory in insertion
// order.
const std::vector<const std::string*>& lookup_order() {
  static const std::vector<const std::string*> order = [] {
    std::vector<const std::string*> out;
    for (const std::string& id : ids()) out.push_back(&id);
    std::shuffle(out.begin(), out.end(), std::mt19937_64(7));
    return out;
  }();
  return order;
}

using StdMap = std::unordered_map<std::string, std::uint32_t>;

void fill(velq::IdPool& pool) {
  for (const std::string& id : ids()) benchmark::DoNotOptimize(pool.insert(id).ok());
}

void fill(StdMap& map) {
  std::uint32_t slot = 0;
  for (const std::string& id : ids()) map.emplace(id, slot++);
}

// With one million ids per iteration, milliseconds per iteration read
// directly as nanoseconds per id.
void set_heap_counter(benchmark::State& state, std::size_t heap_bytes) {
  state.counters["heap_bytes_per_id"] = static_cast<double>(heap_bytes) / kIds;
}

template <typename Map>
void BM_Insert(benchmark::State& state) {
  ids();
  std::size_t heap = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto* map = new Map();
    const std::size_t before = g_live_heap_bytes;
    state.ResumeTiming();
    fill(*map);
    state.PauseTiming();
    heap = g_live_heap_bytes - before;
    delete map;
    state.ResumeTiming();
  }
  set_heap_counter(state, heap);
}

void BM_IdPoolGetSlot(benchmark::State& state) {
  velq::IdPool pool;
  fill(pool);
  for (auto _ : state) {
    for (const std::string* id : lookup_order()) benchmark::DoNotOptimize(pool.get_slot(*id));
  }
}

void BM_StdMapFind(benchmark::State& state) {
  StdMap map;
  fill(map);
  for (auto _ : state) {
    for (const std::string* id : lookup_order()) benchmark::DoNotOptimize(map.find(*id));
  }
}

std::string live_ids_path() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/velq_bench_live_ids.bin";
}

void BM_LiveIdsWrite(benchmark::State& state) {
  velq::IdPool pool;
  fill(pool);
  for (auto _ : state) {
    if (!velq::write_file_atomic(*velq::local_file_system(), live_ids_path(), pool.serialize()).ok()) {
      state.SkipWithError("write failed");
    }
  }
  state.counters["file_bytes"] = static_cast<double>(pool.serialize().size());
}

void BM_LiveIdsLoad(benchmark::State& state) {
  velq::IdPool pool;
  fill(pool);
  if (!velq::write_file_atomic(*velq::local_file_system(), live_ids_path(), pool.serialize()).ok()) {
    state.SkipWithError("write failed");
  }
  for (auto _ : state) {
    const auto bytes = velq::read_file(*velq::local_file_system(), live_ids_path());
    velq::Result<velq::IdPool> loaded =
        bytes.ok() ? velq::IdPool::read_bincode(*bytes) : velq::Result<velq::IdPool>(bytes.error());
    if (!loaded.ok()) state.SkipWithError("load failed");
  }
}

BENCHMARK(BM_Insert<velq::IdPool>)->Name("insert/IdPool");
BENCHMARK(BM_Insert<StdMap>)->Name("insert/std_unordered_map");
BENCHMARK(BM_IdPoolGetSlot)->Name("get_slot/IdPool");
BENCHMARK(BM_StdMapFind)->Name("get_slot/std_unordered_map");
BENCHMARK(BM_LiveIdsWrite)->Name("live_ids.bin/write");
BENCHMARK(BM_LiveIdsLoad)->Name("live_ids.bin/load");

// Keeps the median of every counter per benchmark and prints IdPool next to
// std::unordered_map with the ratio.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so piped output stays plain text.
  SummaryReporter() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      medians_[run.run_name.function_name]["ms"] = run.GetAdjustedRealTime();
      for (const auto& [name, counter] : run.counters) {
        medians_[run.run_name.function_name][name] = counter.value;
      }
    }
  }

  void print_summary() {
    std::printf("\n%-22s %12s %16s %8s\n", "per id (median)", "IdPool", "unordered_map", "ratio");
    row("insert ns", "insert", "ms");
    row("get_slot ns", "get_slot", "ms");
    row("heap bytes", "insert", "heap_bytes_per_id");
    std::printf("live_ids.bin: write %.1f ms, load %.1f ms, %.1f MB\n",
                medians_["live_ids.bin/write"]["ms"], medians_["live_ids.bin/load"]["ms"],
                medians_["live_ids.bin/write"]["file_bytes"] / 1e6);
  }

 private:
  void row(const char* label, const std::string& op, const char* counter) {
    const double ours = medians_[op + "/IdPool"][counter];
    const double theirs = medians_[op + "/std_unordered_map"][counter];
    std::printf("%-22s %12.1f %16.1f %8.2f\n", label, ours, theirs, ours / theirs);
  }

  std::map<std::string, std::map<std::string, double>> medians_;
};

}  // namespace

// Counting replacements of the global allocation functions. Kept out of line:
// once inlined into callers, GCC pairs the malloc/free inside them with the
// new/delete expressions outside and reports false mismatches.
[[gnu::noinline]] void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + 16));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  g_live_heap_bytes += size;
  return block + 16;
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - 16;
  g_live_heap_bytes -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=5";
  std::string time_unit = "--benchmark_time_unit=ms";
  // Runs the repetitions of all benchmarks in a shuffled order, so a change
  // in machine load spreads over both maps instead of favouring one.
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.push_back(reps.data());
  args.push_back(time_unit.data());
  args.push_back(interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_summary();
  std::remove(live_ids_path().c_str());
  return 0;
}
