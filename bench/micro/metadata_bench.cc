// Opening metadata.bin: 1,000,000 records of about 120 bytes of JSON each.
// Prints the median open time over five runs, the read rate, and the heap
// and resident bytes that one loaded record costs (its entry, its values and
// its share of the two secondary indexes), plus the same for the decoded
// entries alone, the decoding time, two index lookups and the median flush
// time.
#include <malloc.h>
#include <time.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "storage/io/file_io.h"
#include "storage/io/file_system.h"
#include "storage/metadata/metadata_file.h"
#include "storage/metadata/metadata_store.h"

namespace {

using velq::JsonMember;
using velq::JsonObject;
using velq::JsonValue;
using velq::MetadataEntry;
using velq::MetadataStore;
using velq::VectorMetadata;

constexpr std::size_t kRecords = 1'000'000;
constexpr int kRuns = 5;

std::vector<MetadataEntry> make_entries() {
  static const char* const kCategories[] = {"books", "music", "film", "games", "garden", "tools"};
  static const char* const kWords[] = {"red", "blue", "green", "small", "large", "classic"};
  std::mt19937 rng(5);
  std::vector<MetadataEntry> entries;
  entries.reserve(kRecords);
  for (std::uint32_t slot = 0; slot < kRecords; ++slot) {
    std::vector<JsonMember> members;
    members.emplace_back("category", JsonValue::string(kCategories[rng() % 6]));
    members.emplace_back("price", JsonValue::floating(static_cast<double>(rng() % 100000) / 100));
    members.emplace_back("stock", JsonValue::integer(static_cast<std::uint64_t>(rng() % 500)));
    members.emplace_back("title", JsonValue::string(std::string(kWords[rng() % 6]) + " " + kWords[rng() % 6] +
                                                    " item " + std::to_string(slot)));
    members.emplace_back("tags", JsonValue::array({JsonValue::string("new"), JsonValue::string(kWords[rng() % 6])}));
    entries.push_back({slot, VectorMetadata(JsonObject(std::move(members)), std::nullopt)});
  }
  return entries;
}

std::size_t heap_in_use() {
  malloc_trim(0);
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of this thread: on a shared machine it moves less than wall time.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  std::string dir_template = (std::filesystem::temp_directory_path() / "velq-bench-XXXXXX").string();
  if (mkdtemp(dir_template.data()) == nullptr) return 1;
  const std::string path = dir_template + "/metadata.bin";
  {
    auto image = velq::encode_metadata_file(make_entries());
    if (!image.ok() || !velq::write_file_atomic(*velq::local_file_system(), path, *image).ok()) return 1;
  }
  const double file_bytes = static_cast<double>(std::filesystem::file_size(path));
  std::printf("metadata.bin: %zu records, %.1f MB, %.1f bytes of JSON per record\n", kRecords, file_bytes / 1e6,
              (file_bytes - 12) / kRecords - 8);

  std::vector<double> open_seconds, open_cpu_seconds, flush_seconds, eq_micros, range_micros;
  std::size_t store_heap = 0, store_resident = 0, eq_slots = 0, range_slots = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::size_t heap_before = heap_in_use();
    const std::size_t resident_before = resident_bytes();
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    auto store = MetadataStore::open(velq::local_file_system(), path);
    open_cpu_seconds.push_back(thread_cpu_seconds() - cpu_start);
    open_seconds.push_back(seconds_since(start));
    if (!store.ok() || store->size() != kRecords) return 1;
    store_heap = heap_in_use() - heap_before;
    store_resident = resident_bytes() - resident_before;
    const auto eq_start = std::chrono::steady_clock::now();
    const auto books = store->get_eq_candidates("category", JsonValue::string("books"));
    eq_micros.push_back(seconds_since(eq_start) * 1e6);
    eq_slots = books ? books->size() : 0;
    const auto range_start = std::chrono::steady_clock::now();
    const auto cheap = store->get_range_candidates("price", velq::RangeBound::inclusive(*velq::f64_order_key(100.0)),
                                                   velq::RangeBound::exclusive(*velq::f64_order_key(200.0)));
    range_micros.push_back(seconds_since(range_start) * 1e6);
    range_slots = cheap ? cheap->size() : 0;
    store->replace_all(std::vector<MetadataEntry>(store->entries().begin(), store->entries().end()));
    const auto flush_start = std::chrono::steady_clock::now();
    if (!store->flush().ok()) return 1;
    flush_seconds.push_back(seconds_since(flush_start));
  }
  std::size_t entries_heap = 0;
  double decode_seconds = 0.0;
  {
    const auto bytes = velq::read_file(*velq::local_file_system(), path).value();
    const std::size_t before = heap_in_use();
    const auto start = std::chrono::steady_clock::now();
    auto entries = velq::decode_metadata_file(bytes, path);
    decode_seconds = seconds_since(start);
    if (!entries.ok()) return 1;
    entries_heap = heap_in_use() - before;
  }
  const double open_median = median(open_seconds);
  std::printf("open: median %.3f s over %d runs (%.3f s of CPU), %.0f MB/s\n", open_median, kRuns,
              median(open_cpu_seconds), file_bytes / 1e6 / open_median);
  std::printf("  of which decoding the records: %.3f s (%.0f MB/s); the rest reads the file and builds the indexes\n",
              decode_seconds, file_bytes / 1e6 / decode_seconds);
  std::printf("store in memory: %.1f heap bytes/record, %.1f resident bytes/record\n",
              static_cast<double>(store_heap) / kRecords, static_cast<double>(store_resident) / kRecords);
  std::printf("  of which entries and values: %.1f heap bytes/record (indexes: the rest)\n",
              static_cast<double>(entries_heap) / kRecords);
  std::printf("get_eq_candidates (%zu slots): median %.2f us; get_range_candidates (%zu slots): median %.0f us\n",
              eq_slots, median(eq_micros), range_slots, median(range_micros));
  std::printf("flush: median %.3f s, %.0f MB/s\n", median(flush_seconds), file_bytes / 1e6 / median(flush_seconds));
  std::filesystem::remove_all(dir_template);
  return 0;
}
