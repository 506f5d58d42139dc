// Full build, incremental build and search of the proximity graph on float
// vectors scored by exact inner products, through GraphManager and a local
// graph.bin. Prints one JSON object per figure: build times, level-0
// reachability after each build, and per beam width the search rate on one
// thread (over the wall clock and over the thread's processor time) and on
// the whole pool. bench/graph_vs_hnswlib.py runs it beside
// hnswlib on the same vectors and prints the table.
//
//   bench_graph --dim D --base F --queries F --truth F --n-build N
//               [--efs 32,64,128,256] [--reps 3] [--build-only] [--no-prefetch]
//               [--graph-dir DIR]
//
// --graph-dir keeps graph.bin in DIR and, when DIR already holds a graph of
// n-build or of all nodes, searches that one instead of building: search
// changes are then compared on one graph.
//
// Files hold little-endian rows: float32 vectors, u32 ids of the true top 10
// per query. The pool size comes from RAYON_NUM_THREADS.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <ctime>
#include <vector>

#include "bench_driver.h"
#include "common/worker_pool.h"
#include "storage/io/backend.h"
#include "index/graph_manager.h"
#include "index/graph_mend.h"

namespace {

using velq::bench::median_rate;
using velq::bench::read_rows;
using velq::bench::timed;

constexpr std::size_t kTopK = 10;

struct Options {
  std::size_t dim = 128;
  std::string base, queries, truth;
  std::size_t n_build = SIZE_MAX;  // all rows unless given
  std::vector<std::size_t> efs = {32, 64, 128, 256};
  int reps = 3;
  bool build_only = false;
  bool no_prefetch = false;  // score without asking for the rows first
  std::string graph_dir;     // kept graph, reused when it fits
};

struct Data {
  std::size_t dim = 0;
  std::vector<float> base, queries;
  std::vector<std::uint32_t> truth;  // kTopK per query
  std::size_t n_base() const { return base.size() / dim; }
  std::size_t n_queries() const { return queries.size() / dim; }
};

// Thirty-two partial sums: four independent vector accumulators, so that
// the sum is bound by the loads, not by the latency of one chain of adds,
// vectorisable without reassociation flags. The clones for newer processors
// let the bench score about as fast as the peer's native-built kernels.
__attribute__((target_clones("arch=x86-64-v4", "arch=haswell", "default"))) float dot(
    const float* a, const float* b, std::size_t d) {
  constexpr std::size_t kLanes = 32;
  float lanes[kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= d; j += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) lanes[l] += a[j + l] * b[j + l];
  }
  for (; j < d; ++j) lanes[0] += a[j] * b[j];
  for (std::size_t width = kLanes / 2; width > 0; width /= 2) {
    for (std::size_t l = 0; l < width; ++l) lanes[l] += lanes[l + width];
  }
  return lanes[0];
}

double thread_cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "bench_graph: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--dim") o.dim = std::stoul(value());
    else if (arg == "--base") o.base = value();
    else if (arg == "--queries") o.queries = value();
    else if (arg == "--truth") o.truth = value();
    else if (arg == "--n-build") o.n_build = std::stoul(value());
    else if (arg == "--reps") o.reps = std::stoi(value());
    else if (arg == "--build-only") o.build_only = true;
    else if (arg == "--no-prefetch") o.no_prefetch = true;
    else if (arg == "--graph-dir") o.graph_dir = value();
    else if (arg == "--efs") {
      o.efs = velq::bench::size_list(value());
    } else {
      std::fprintf(stderr, "bench_graph: unknown argument %s\n", arg.c_str());
      std::exit(2);
    }
  }
  return o;
}

Data load(const Options& o) {
  if (o.base.empty() || o.queries.empty() || o.truth.empty()) {
    std::fprintf(stderr,
                 "usage: bench_graph --dim D --base F --queries F --truth F --n-build N "
                 "[--efs 32,64,128,256] [--reps 3] [--build-only] [--no-prefetch]\n"
                 "(bench/graph_vs_hnswlib.py writes the files and runs it)\n");
    std::exit(2);
  }
  Data data;
  data.dim = o.dim;
  data.base = read_rows<float>(o.base, "bench_graph");
  data.queries = read_rows<float>(o.queries, "bench_graph");
  data.truth = read_rows<std::uint32_t>(o.truth, "bench_graph");
  return data;
}

void check(const velq::Status& status, const char* what) {
  if (!status.ok()) {
    std::fprintf(stderr, "bench_graph: %s: %s\n", what, status.error().message().c_str());
    std::exit(1);
  }
}

void print_reach(const velq::GraphManager& graph, const char* after) {
  const velq::Level0Reach reach =
      velq::level0_reach(static_cast<std::uint32_t>(graph.n_nodes()), graph.entry_point(),
                         [&](std::uint32_t node) {
                           auto list = graph.get_neighbors_at_level(node, 0);
                           return list.ok() ? std::move(*list) : velq::NodeList();
                         });
  std::printf("{\"op\": \"reach\", \"after\": \"%s\", \"n\": %zu, \"reachable\": %zu, "
              "\"without_incoming\": %zu}\n",
              after, graph.n_nodes(), reach.reachable, reach.without_incoming);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  const Data data = load(o);
  const std::size_t n_total = data.n_base();
  const std::size_t n_build = std::min(o.n_build, n_total);
  const std::size_t threads = velq::pool_thread_count();

  char dir_template[] = "/tmp/velq-bench-graph-XXXXXX";
  const bool keep = !o.graph_dir.empty();
  if (keep) std::filesystem::create_directories(o.graph_dir);
  const std::string dir = keep ? o.graph_dir : ::mkdtemp(dir_template);
  auto backend = velq::StorageBackend::from_uri(dir, velq::local_file_system());
  auto graph = velq::GraphManager::open(*backend, dir);
  check(graph.ok() ? velq::ok_status() : velq::Status(graph.error()), "open");

  std::atomic<std::uint64_t> scored{0};
  // Starts loading a row the graph is about to have scored: its first lines
  // only, the processor's stream prefetcher follows the rest. Asking for
  // every line of every neighbour at once (24 lines a row at d = 384, a
  // whole list at a time) overflows the outstanding-miss queues and made
  // searches 1.5 to 2 times slower per query.
  constexpr std::size_t kPrefetchBytes = 256;
  const std::size_t prefetch_bytes = std::min(kPrefetchBytes, data.dim * sizeof(float));
  const auto prefetch_row = [&](std::uint32_t node) {
    const char* row = reinterpret_cast<const char*>(&data.base[std::size_t{node} * data.dim]);
    for (std::size_t line = 0; line < prefetch_bytes; line += 64) __builtin_prefetch(row + line);
  };
  const velq::BuildScorer scorer = [&](std::uint32_t node, std::span<const std::uint32_t> cands) {
    scored.fetch_add(cands.size(), std::memory_order_relaxed);
    std::vector<velq::ScoredNode> out(cands.size());
    const float* a = &data.base[node * data.dim];
    // Candidates are scattered over the base: fetch a few rows ahead.
    constexpr std::size_t kAhead = 4;
    for (std::size_t i = 0; i < cands.size(); ++i) {
      if (i + kAhead < cands.size()) prefetch_row(cands[i + kAhead]);
      out[i] = {cands[i], dot(a, &data.base[cands[i] * data.dim], data.dim)};
    }
    return out;
  };

  const bool reuse = keep && (graph->n_nodes() == n_build || graph->n_nodes() == n_total);
  if (reuse) {
    print_reach(*graph, "reuse");
  } else {
    const double build_s =
        timed([&] { check(graph->build(n_build, 32, 200, 5, scorer, 1.2), "build"); });
    std::printf("{\"op\": \"build\", \"n\": %zu, \"dim\": %zu, \"threads\": %zu, "
                "\"seconds\": %.3f, \"scores_per_node\": %.0f}\n",
                n_build, data.dim, threads, build_s, double(scored.exchange(0)) / double(n_build));
    print_reach(*graph, "build");
    if (!o.build_only && n_total > n_build) {
      const double add_s = timed([&] {
        check(graph->build_incremental(n_total, 32, 200, 5, scorer, 1.2), "incremental");
      });
      std::printf("{\"op\": \"incremental\", \"n\": %zu, \"added\": %zu, \"threads\": %zu, "
                  "\"seconds\": %.3f, \"scores_per_node\": %.0f}\n",
                  n_total, n_total - n_build, threads, add_s,
                  double(scored.load()) / double(n_total - n_build));
      print_reach(*graph, "incremental");
    }
  }
  std::fflush(stdout);

  const std::size_t n_queries = data.n_queries();
  std::vector<std::vector<velq::ScoredNode>> hits(n_queries);
  std::vector<std::size_t> calls(n_queries);
  const auto run_query = [&](std::size_t q, std::size_t ef) {
    const float* query = &data.queries[q * data.dim];
    std::size_t n_calls = 0;
    // Each expanded node's new neighbours come at once: all their rows are
    // asked for before the first is scored.
    const velq::NodeBatchScorer score = [&](std::span<const std::uint32_t> nodes,
                                            std::span<double> scores) {
      if (!o.no_prefetch) {
        for (const std::uint32_t node : nodes) prefetch_row(node);
      }
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        scores[i] = dot(query, &data.base[nodes[i] * data.dim], data.dim);
      }
      n_calls += nodes.size();
    };
    hits[q] = graph->search(kTopK, ef, score, std::nullopt);
    calls[q] = n_calls;
  };
  // Median rate over the repetitions: one query after the other on this
  // thread, or all queries spread over the pool.
  const auto rate = [&](std::size_t ef, bool pooled) {
    return median_rate(o.reps, n_queries, [&] {
      if (pooled) {
        velq::parallel_for_each(n_queries, 8, [&](std::size_t q) { run_query(q, ef); });
      } else {
        for (std::size_t q = 0; q < n_queries; ++q) run_query(q, ef);
      }
    });
  };

  // The same one-thread rate over this thread's processor time: on a shared,
  // loaded machine the wall clock also counts the time others ran here.
  const auto cpu_rate = [&](std::size_t ef) {
    std::vector<double> rates;
    for (int rep = 0; rep < std::max(o.reps, 1); ++rep) {
      const double start = thread_cpu_seconds();
      for (std::size_t q = 0; q < n_queries; ++q) run_query(q, ef);
      rates.push_back(double(n_queries) / (thread_cpu_seconds() - start));
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
  };

  for (const std::size_t ef : o.build_only ? std::vector<std::size_t>{} : o.efs) {
    const double qps_pool = rate(ef, true);
    const double qps = rate(ef, false);
    const double qps_cpu = cpu_rate(ef);
    std::size_t found = 0;
    std::size_t total_calls = 0;
    for (std::size_t q = 0; q < n_queries; ++q) {
      const std::set<std::uint32_t> want(&data.truth[q * kTopK], &data.truth[q * kTopK] + kTopK);
      for (const velq::ScoredNode& h : hits[q]) found += want.count(h.node);
      total_calls += calls[q];
    }
    std::printf("{\"op\": \"search\", \"n\": %zu, \"ef\": %zu, \"qps\": %.1f, "
                "\"qps_cpu\": %.1f, \"qps_pool\": %.1f, \"recall\": %.4f, "
                "\"scores_per_query\": %.0f}\n",
                n_total, ef, qps, qps_cpu, qps_pool, double(found) / double(kTopK * n_queries),
                double(total_calls) / double(n_queries));
    std::fflush(stdout);
  }
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
