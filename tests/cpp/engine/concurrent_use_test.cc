// One engine used from several threads at once, under the reader-writer lock
// the Python layer puts around it: readers (search, get, count) beside a
// writer (inserts, batches, deletes, flushes), an index builder and a batched
// query whose rows run on the worker pool under one shared guard. Built on
// its own under ThreadSanitizer (scripts/test), where any unordered access
// between the const methods, the pool's threads and the writers is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json_parse.h"
#include "common/worker_pool.h"
#include "search/search_test_util.h"
#include "engine/velqor_engine.h"
#include "python/engine_lock.h"

namespace velq {
namespace {

using testing::numbered;
using testing::scaled_vector;

constexpr std::size_t kDim = 16;
constexpr unsigned kBase = 600;  // never deleted; group = i % 4

JsonObject group(unsigned g) {
  return parse_json("{\"g\":" + std::to_string(g) + "}")->as_object();
}

std::string base_id(unsigned i) { return numbered("base", i); }

// Runs every body on its own thread; the first failure is rethrown here.
void run_together(const std::vector<std::function<void()>>& bodies) {
  std::mutex m;
  std::exception_ptr first;
  std::vector<std::thread> threads;
  for (const auto& body : bodies) {
    threads.emplace_back([&, body] {
      try {
        body();
      } catch (...) {
        std::lock_guard lock(m);
        if (!first) first = std::current_exception();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  if (first) std::rethrow_exception(first);
}

template <typename T>
T value_of(Result<T> r) {
  if (!r.ok()) throw std::runtime_error(r.error().message());
  return std::move(r).value();
}

void ok(const Status& s) {
  if (!s.ok()) throw std::runtime_error(s.error().message());
}

void check(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

TEST(ConcurrentUse, ReadersWriterIndexBuildAndPooledQueryOnOneEngine) {
  testing::TempDir dir;
  EngineOptions o = testing::engine_options(dir.path(), kDim);
  o.wal_flush_threshold = 200;  // the writer's inserts flush (and compact) on their own too
  o.rerank_precision = RerankPrecision::kF16;
  PoisonableRwLock<VelqorEngine> db(value_of(VelqorEngine::open_with_options(o)));
  db.write([](VelqorEngine& e) {
    std::vector<BatchWriteItem> items;
    for (unsigned i = 0; i < kBase; ++i) {
      const std::vector<double> v = scaled_vector(kDim, i, 1.0);
      items.push_back({base_id(i), std::vector<float>(v.begin(), v.end()), group(i % 4), std::nullopt});
    }
    ok(insert_many_with_mode(e, std::move(items), WriteMode::kInsert));
  });

  std::atomic<bool> writing{true};
  constexpr unsigned kWrites = 120;
  // Bounds the readers' rounds: under the thread sanitizer a round costs
  // milliseconds, and unbounded readers would starve the writer for minutes.
  constexpr unsigned kMaxRounds = 160;
  const JsonObject g1 = group(1);

  auto reader = [&] {
    for (unsigned round = 0; round < 4 || (writing.load() && round < kMaxRounds); ++round) {
      db.read([&](const VelqorEngine& e) {
        const std::vector<double> q = scaled_vector(kDim, 1000 + round, 1.0);
        check(value_of(e.search_with_filter_and_ann(q, 5, nullptr, std::nullopt, round % 2 == 0)).size() == 5,
              "search returned fewer than five hits");
        for (const SearchResult& hit : value_of(e.search_with_filter_and_ann(q, 5, &g1, std::nullopt, false))) {
          check(hit.metadata.find("g")->as_unsigned() == 1, "filtered search returned another group");
        }
        const std::optional<GetResult> got = value_of(e.get(base_id(round % kBase)));
        check(got.has_value() && got->id == base_id(round % kBase), "get lost a base record");
        check(value_of(e.count_with_filter(&g1)) == kBase / 4, "filtered count changed");
        check(value_of(e.count_with_filter(nullptr)) >= kBase, "count fell below the base records");
      });
    }
  };
  auto writer = [&] {
    for (unsigned i = 0; i < kWrites; ++i) {
      db.write([&](VelqorEngine& e) {
        ok(e.insert_with_document(numbered("w", i), scaled_vector(kDim, 5000 + i, 2.0), group(9),
                                  "doc"));
        if (i % 3 == 0) check(value_of(e.delete_id(numbered("w", i))), "delete missed");
        if (i % 40 == 39) ok(e.flush_wal_to_segment());
      });
    }
    writing = false;
  };
  auto indexer = [&] {
    for (unsigned round = 0; round < 3; ++round) {
      db.write([&](VelqorEngine& e) {
        const IndexParams params{8, 24, 16, 1, 1.2};
        ok(round % 2 == 0 ? e.create_index_with_params(params) : e.create_index_incremental(params));
      });
    }
  };
  auto batched_query = [&] {
    std::vector<std::vector<double>> rows;
    for (unsigned r = 0; r < 24; ++r) rows.push_back(scaled_vector(kDim, 7000 + r, 1.0));
    for (unsigned round = 0; round < 2 || (writing.load() && round < kMaxRounds / 8); ++round) {
      // As the binding's query does: one shared guard, rows on the pool.
      const std::vector<std::size_t> sizes = db.read([&](const VelqorEngine& e) {
        std::vector<std::size_t> found(rows.size());
        parallel_for_each(rows.size(), 1, [&](std::size_t r) {
          found[r] = value_of(e.search_with_filter_and_ann(rows[r], 3, nullptr, 32, round % 2 == 1)).size();
        });
        return found;
      });
      for (std::size_t n : sizes) check(n == 3, "a pooled row returned fewer than three hits");
    }
  };

  run_together({reader, reader, writer, indexer, batched_query});

  db.read([&](const VelqorEngine& e) {
    const std::uint64_t kept = kWrites - (kWrites + 2) / 3;
    EXPECT_EQ(*e.count_with_filter(nullptr), kBase + kept);
    EXPECT_EQ(*e.count_with_filter(&g1), kBase / 4);
    const JsonObject g9 = group(9);
    EXPECT_EQ(*e.count_with_filter(&g9), kept);
    EXPECT_FALSE(e.get("w0")->has_value());
    ASSERT_TRUE(e.get("w1")->has_value());
    EXPECT_EQ(e.get("w1")->value().document, "doc");
  });
}

}  // namespace
}  // namespace velq
