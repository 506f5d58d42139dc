// Engine searches and index builds on vectors read from files, through
// VelqorEngine (inner product, b = 4): the exhaustive scan, or create_index
// followed by graph searches at several search list sizes. Prints one JSON
// object per figure. bench/search_vs_peers.py writes the files, runs this
// beside faiss and hnswlib on the same vectors and prints the table.
//
//   bench_engine_search --dim D --base F --queries F --truth F --db DIR
//       [--n N] [--quantizer dense|srht] [--rerank none|codes|f16]
//       [--graph] [--efs 32,64,128,256] [--reps 3]
//
// Files hold little-endian rows: float32 vectors, u32 ids of the true top 10
// per query. The database folder is filled with the first N base rows (ids
// are row numbers) when it holds no record yet, else reopened as it is: a
// second run with another pool size searches the same database. The pool
// size comes from RAYON_NUM_THREADS.
//
// Exhaustive: queries/s one query per call on this thread (scans above
// 20,000 candidates spread over the pool) and with the queries spread over
// the pool as query rows; recall@10 against the true top 10. Graph: the
// build time, then per search list size the same two rates, recall@10
// against the true top 10 and against the exhaustive answer on the engine's
// own scores. Also the time to list the active slots.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bench_driver.h"
#include "common/worker_pool.h"
#include "engine/engine_state.h"
#include "engine/velqor_engine.h"

namespace velq {

// Listing the active slots, timed below, is a step the front does not show
// on its own.
struct EngineInternals {
  static const EngineState& of(const VelqorEngine& e) { return *e.state_; }
};

}  // namespace velq

namespace {

using velq::bench::median_rate;
using velq::bench::timed;

constexpr std::size_t kTopK = 10;
constexpr const char* kProgram = "bench_engine_search";

struct Options {
  std::size_t dim = 384;
  std::string base, queries, truth, db;
  std::size_t n = SIZE_MAX;  // all rows unless given
  std::string quantizer = "dense";
  std::string rerank = "codes";
  bool graph = false;
  std::vector<std::size_t> efs = {32, 64, 128, 256};
  int reps = 3;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", kProgram, what.c_str());
  std::exit(1);
}

void check(const velq::Status& status, const char* what) {
  if (!status.ok()) fail(std::string(what) + ": " + status.error().message());
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--dim") o.dim = std::stoul(value());
    else if (arg == "--base") o.base = value();
    else if (arg == "--queries") o.queries = value();
    else if (arg == "--truth") o.truth = value();
    else if (arg == "--db") o.db = value();
    else if (arg == "--n") o.n = std::stoul(value());
    else if (arg == "--quantizer") o.quantizer = value();
    else if (arg == "--rerank") o.rerank = value();
    else if (arg == "--graph") o.graph = true;
    else if (arg == "--efs") o.efs = velq::bench::size_list(value());
    else if (arg == "--reps") o.reps = std::stoi(value());
    else fail("unknown argument " + arg);
  }
  if (o.base.empty() || o.queries.empty() || o.truth.empty() || o.db.empty()) {
    fail("usage: --dim D --base F --queries F --truth F --db DIR [--n N] "
         "[--quantizer dense|srht] [--rerank none|codes|f16] [--graph] [--efs 32,64] [--reps 3]");
  }
  if (o.rerank != "none" && o.rerank != "codes" && o.rerank != "f16") fail("bad --rerank");
  return o;
}

velq::VelqorEngine open_db(const Options& o) {
  velq::EngineOptions e;
  e.storage_uri = e.local_dir = o.db;
  e.d = o.dim;
  e.b = 4;
  e.metric = velq::DistanceMetric::kIp;
  e.quantizer_type = o.quantizer;
  e.rerank = o.rerank != "none";
  e.rerank_precision = o.rerank == "f16" ? velq::RerankPrecision::kF16
                                         : velq::RerankPrecision::kDisabled;
  auto engine = velq::VelqorEngine::open_with_options(e);
  if (!engine.ok()) fail("open: " + engine.error().message());
  return std::move(engine).value();
}

// Writes rows [0, n) as records "0", "1", ... in batches.
double load(velq::VelqorEngine& engine, const std::vector<float>& base, std::size_t dim,
            std::size_t n) {
  constexpr std::size_t kBatch = 10'000;
  return timed([&] {
    for (std::size_t first = 0; first < n; first += kBatch) {
      std::vector<velq::BatchWriteItem> items(std::min(kBatch, n - first));
      for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].id = std::to_string(first + i);
        const float* row = &base[(first + i) * dim];
        items[i].vector.assign(row, row + dim);
      }
      check(engine.insert_many_with_mode(std::move(items), velq::WriteMode::kInsert), "insert");
    }
    check(engine.flush_wal_to_segment(), "flush");
  });
}

using Answers = std::vector<std::vector<std::uint32_t>>;  // row numbers per query

// Mean of |found ∩ want| / want.size() over the queries.
double recall(const Answers& found, const Answers& want) {
  std::size_t hit = 0, total = 0;
  for (std::size_t q = 0; q < found.size(); ++q) {
    const std::set<std::uint32_t> w(want[q].begin(), want[q].end());
    for (const std::uint32_t f : found[q]) hit += w.count(f);
    total += want[q].size();
  }
  return total == 0 ? 0.0 : double(hit) / double(total);
}

struct Searcher {
  const velq::VelqorEngine& engine;
  std::vector<std::vector<double>> queries;

  std::vector<std::uint32_t> one(std::size_t q, bool ann, std::size_t ef) const {
    auto hits = engine.search_with_filter_and_ann(queries[q], kTopK, nullptr, ef, ann);
    if (!hits.ok()) fail("search: " + hits.error().message());
    std::vector<std::uint32_t> rows;
    for (const velq::SearchResult& h : *hits) rows.push_back(static_cast<std::uint32_t>(std::stoul(h.id)));
    return rows;
  }

  // Answers of every query, and the median rates one query after the other
  // and spread over the pool.
  Answers run(bool ann, std::size_t ef, int reps, double& qps, double& qps_rows) const {
    Answers answers(queries.size());
    qps = median_rate(reps, queries.size(), [&] {
      for (std::size_t q = 0; q < queries.size(); ++q) answers[q] = one(q, ann, ef);
    });
    qps_rows = median_rate(reps, queries.size(), [&] {
      velq::parallel_for_each(queries.size(), 1, [&](std::size_t q) { answers[q] = one(q, ann, ef); });
    });
    return answers;
  }
};

Answers truth_rows(const std::vector<std::uint32_t>& truth, std::size_t n_queries) {
  Answers out(n_queries);
  for (std::size_t q = 0; q < n_queries; ++q) {
    out[q].assign(&truth[q * kTopK], &truth[q * kTopK] + kTopK);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  std::vector<float> base = velq::bench::read_rows<float>(o.base, kProgram);
  const std::vector<float> query_rows = velq::bench::read_rows<float>(o.queries, kProgram);
  const std::size_t n = std::min(o.n, base.size() / o.dim);
  const std::size_t n_queries = query_rows.size() / o.dim;
  const Answers truth = truth_rows(velq::bench::read_rows<std::uint32_t>(o.truth, kProgram), n_queries);
  const std::size_t threads = velq::pool_thread_count();

  std::filesystem::create_directories(o.db);
  velq::VelqorEngine engine = open_db(o);
  if (engine.stats().vector_count == 0) {
    const double s = load(engine, base, o.dim, n);
    std::printf("{\"op\": \"load\", \"n\": %zu, \"threads\": %zu, \"seconds\": %.3f}\n", n, threads, s);
  }
  base = {};
  if (engine.stats().vector_count != n) fail("the database holds another number of records");

  const double list_rate = median_rate(5, 1, [&] {
    if (velq::EngineInternals::of(engine).id_pool.active_slots().size() != n) fail("active slots");
  });
  std::printf("{\"op\": \"active_slots\", \"n\": %zu, \"ms\": %.3f}\n", n, 1000.0 / list_rate);

  Searcher searcher{engine, {}};
  for (std::size_t q = 0; q < n_queries; ++q) {
    searcher.queries.emplace_back(&query_rows[q * o.dim], &query_rows[(q + 1) * o.dim]);
  }
  double qps = 0, qps_rows = 0;
  if (!o.graph) {
    const Answers got = searcher.run(false, 0, o.reps, qps, qps_rows);
    std::printf("{\"op\": \"exhaustive\", \"n\": %zu, \"threads\": %zu, \"qps\": %.1f, "
                "\"qps_rows\": %.1f, \"recall\": %.4f}\n",
                n, threads, qps, qps_rows, recall(got, truth));
    return 0;
  }

  const velq::IndexParams params{32, 200, 64, 5, 1.2};
  const double build_s = timed([&] { check(engine.create_index_with_params(params), "create_index"); });
  std::printf("{\"op\": \"build\", \"n\": %zu, \"threads\": %zu, \"seconds\": %.3f}\n", n, threads,
              build_s);
  std::fflush(stdout);
  const Answers own = searcher.run(false, 0, 1, qps, qps_rows);
  for (const std::size_t ef : o.efs) {
    const Answers got = searcher.run(true, ef, o.reps, qps, qps_rows);
    std::printf("{\"op\": \"search\", \"n\": %zu, \"ef\": %zu, \"qps\": %.1f, \"qps_rows\": %.1f, "
                "\"recall\": %.4f, \"recall_own\": %.4f}\n",
                n, ef, qps, qps_rows, recall(got, truth), recall(got, own));
    std::fflush(stdout);
  }
  return 0;
}
