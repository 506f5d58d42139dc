// Write-ahead log append throughput: entries/s and MB/s of append_batch for
// batches of 1, 100 and 5,000 entries (codes of d = 384, b = 4 in SRHT form,
// 100 bytes of metadata).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "quantizer/packing.h"
#include "storage/log/wal.h"

namespace velq {
namespace {

constexpr unsigned kBits = 4;
// Restart the log whenever it grows past this, so the file stays small.
constexpr std::uintmax_t kRestartBytes = 256u << 20;

// The code shape of d = 384, b = 4 in SRHT form: 512 rotated coordinates.
constexpr CodeLengths kLengths{512, kBits - 1, 512 / 8};

std::vector<WalEntry> make_entries(std::size_t count) {
  std::mt19937 rng(1);
  std::vector<WalEntry> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    WalEntry& e = entries[i];
    e.id = "doc-" + std::to_string(i);
    std::vector<std::uint16_t> indices(kLengths.n);
    for (auto& v : indices) v = static_cast<std::uint16_t>(rng() % (1u << kLengths.mse_bits));
    e.packed_mse = packing::pack(indices, kLengths.n, kLengths.mse_bits);
    e.qjl_bits.resize(kLengths.qjl_bytes);
    for (auto& v : e.qjl_bits) v = static_cast<std::uint8_t>(rng());
    e.gamma = 0.1f;
    e.norm = 1.0f;
    e.metadata_json = R"({"title":")" + std::string(86, 'x') + R"("})";  // 100 bytes
  }
  return entries;
}

void BM_AppendBatch(benchmark::State& state) {
  const auto batch = static_cast<std::size_t>(state.range(0));
  const std::vector<WalEntry> entries = make_entries(batch);

  std::string dir = (std::filesystem::temp_directory_path() / "velq-wal-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) std::abort();
  const std::string path = dir + "/wal.log";
  auto opened = Wal::open(local_file_system(), path, kLengths);
  if (!opened.ok()) std::abort();
  Wal wal = std::move(opened->wal);

  // One batch's bytes, measured outside the timed loop.
  if (!wal.append_batch(entries, false).ok()) std::abort();
  const std::uintmax_t bytes_per_batch = std::filesystem::file_size(path) - 8;
  std::uintmax_t since_restart = 0;
  for (auto _ : state) {
    if (!wal.append_batch(entries, false).ok()) std::abort();
    since_restart += bytes_per_batch;
    if (since_restart > kRestartBytes) {
      state.PauseTiming();
      if (!wal.truncate().ok()) std::abort();
      since_restart = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes_per_batch));
  std::filesystem::remove_all(dir);
}

BENCHMARK(BM_AppendBatch)
    ->Arg(1)
    ->Arg(100)
    ->Arg(5000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velq

BENCHMARK_MAIN();
