// The one process-wide work-stealing pool for data-parallel loops. Its size
// comes from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the number of
// hardware threads. Nothing else in the system starts threads.
//
// Loops hand out index ranges; bodies write their results by index so the
// outcome never depends on the thread count. An exception thrown by a body
// (a Panic included) is rethrown on the calling thread after the join.
#pragma once

#include <cstddef>
#include <string_view>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "common/tsan_handoff.h"

namespace velq {

// Pool size for the given environment values (nullptr = unset); exposed for tests.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t hardware_threads);

// Number of worker threads of the pool.
std::size_t pool_thread_count();

oneapi::tbb::task_arena& worker_arena();

// Runs body(begin, end) over [0, n) in chunks of at least `grain` indices.
template <typename Body>
void parallel_for(std::size_t n, std::size_t grain, Body&& body) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  if (n <= grain || pool_thread_count() == 1) {
    body(std::size_t{0}, n);
    return;
  }
  // Loops nest: a body may start loops of its own (a query row scoring a
  // large candidate list). A thread waiting for its inner loop runs only
  // that loop's chunks (isolation), never a sibling body of an outer loop,
  // so per-thread scratch a body holds is never reentered and the wait
  // cannot stack outer bodies without bound.
  // Hand-over edges for ThreadSanitizer: the caller's writes before the loop
  // reach every chunk, every chunk's writes reach the caller after it.
  // Chunks get no edges among themselves, so two that overlap still race.
  char started = 0;
  char finished = 0;
  tsan_release(&started);
  worker_arena().execute([&] {
    oneapi::tbb::this_task_arena::isolate([&] {
      oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n, grain),
                                [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                  tsan_acquire(&started);
                                  body(r.begin(), r.end());
                                  tsan_release(&finished);
                                });
    });
  });
  tsan_acquire(&finished);
}

// Runs f(i) for every i in [0, n).
template <typename F>
void parallel_for_each(std::size_t n, std::size_t grain, F&& f) {
  parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) f(i);
  });
}

}  // namespace velq
