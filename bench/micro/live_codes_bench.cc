// LiveCodesFile with one million slots of 73 bytes (d = 100, b = 4 codes):
// handing out and filling slots (growth included), reading slots in random
// order, and the synchronous flush of the whole mapping. One million slots
// per iteration, so milliseconds per iteration read as nanoseconds per slot.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/slots/live_codes.h"

namespace {

constexpr std::uint64_t kSlots = 1'000'000;
constexpr std::uint64_t kStride = 73;

std::string bench_path() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/velq_bench_live_codes.bin";
}

// Stops the program: a benchmark that cannot create its file has nothing
// to measure.
[[noreturn]] void fail(const velq::Error& error) {
  std::fprintf(stderr, "%s: %s\n", bench_path().c_str(), error.message().c_str());
  std::exit(1);
}

velq::LiveCodesFile filled_file() {
  std::remove(bench_path().c_str());
  velq::Result<velq::LiveCodesFile> file = velq::LiveCodesFile::open(velq::local_file_system(), bench_path(), kStride);
  if (!file.ok()) fail(file.error());
  for (std::uint64_t i = 0; i < kSlots; ++i) {
    velq::Result<std::uint64_t> slot = file->alloc_slot();
    if (!slot.ok()) fail(slot.error());
    std::memset(file->slot_mut(*slot).data(), static_cast<int>(i), kStride);
  }
  return std::move(file).value();
}

void BM_AllocAndWrite(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(filled_file().len());
  std::remove(bench_path().c_str());
}

void BM_RandomSlotRead(benchmark::State& state) {
  velq::LiveCodesFile file = filled_file();
  std::vector<std::uint32_t> order(kSlots);
  std::mt19937 rng(5);
  for (std::uint32_t& s : order) s = static_cast<std::uint32_t>(rng() % kSlots);
  file.advise_random();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (std::uint32_t s : order) sum += file.slot(s)[kStride - 1];
    benchmark::DoNotOptimize(sum);
  }
  std::remove(bench_path().c_str());
}

void BM_Flush(benchmark::State& state) {
  velq::LiveCodesFile file = filled_file();
  std::uint8_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++round;
    for (std::uint64_t s = 0; s < kSlots; s += 64) file.slot_mut(s)[0] = round;
    state.ResumeTiming();
    if (!file.flush().ok()) state.SkipWithError("flush failed");
  }
  state.counters["file_MB"] = static_cast<double>(kSlots * kStride) / 1e6;
  std::remove(bench_path().c_str());
}

}  // namespace

#define VELQ_MEDIAN_OF_5(fn, name) \
  BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly()

VELQ_MEDIAN_OF_5(BM_AllocAndWrite, "alloc_slot+write/1M");
VELQ_MEDIAN_OF_5(BM_RandomSlotRead, "slot_random_read/1M");
VELQ_MEDIAN_OF_5(BM_Flush, "flush_every_64th_slot_dirty");

BENCHMARK_MAIN();
