#include "common/worker_pool.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace velq {

namespace {

// A positive decimal integer, or 0 when the text is anything else.
std::size_t parse_positive(const char* text) {
  if (text == nullptr) return 0;
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return 0;
  return value;
}

}  // namespace

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t hardware_threads) {
  if (std::size_t n = parse_positive(rayon_num_threads)) return n;
  if (std::size_t n = parse_positive(rayon_rs_num_cpus)) return n;
  return hardware_threads == 0 ? 1 : hardware_threads;
}

std::size_t pool_thread_count() {
  static const std::size_t count =
      pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                         std::thread::hardware_concurrency());
  return count;
}

oneapi::tbb::task_arena& worker_arena() {
  static oneapi::tbb::task_arena arena(static_cast<int>(pool_thread_count()));
  return arena;
}

}  // namespace velq
