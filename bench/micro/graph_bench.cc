// Full build, incremental build and search of the proximity graph on float
// vectors scored by exact inner products, through GraphManager and a local
// graph.bin. Prints one JSON object per figure; bench/graph_vs_hnswlib.py
// runs it beside hnswlib on the same vectors and prints the table.
//
//   bench_graph --dim D --base F --queries F --truth F --n-build N
//               [--efs 32,64,128,256] [--reps 3] [--build-only] [--no-prefetch]
//
// Files hold little-endian rows: float32 vectors, u32 ids of the true top 10
// per query. The pool size comes from RAYON_NUM_THREADS.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "storage/io/backend.h"
#include "storage/graph/graph_manager.h"

namespace {

constexpr std::size_t kTopK = 10;

struct Options {
  std::size_t dim = 128;
  std::string base, queries, truth;
  std::size_t n_build = SIZE_MAX;  // all rows unless given
  std::vector<std::size_t> efs = {32, 64, 128, 256};
  int reps = 3;
  bool build_only = false;
  bool no_prefetch = false;  // search without the prefetch hint
};

struct Data {
  std::size_t dim = 0;
  std::vector<float> base, queries;
  std::vector<std::uint32_t> truth;  // kTopK per query
  std::size_t n_base() const { return base.size() / dim; }
  std::size_t n_queries() const { return queries.size() / dim; }
};

// Eight partial sums: vectorisable without reassociation flags. The clone
// for newer processors lets the bench score as fast as the peer's kernels.
__attribute__((target_clones("arch=haswell", "default"))) float dot(const float* a,
                                                                     const float* b,
                                                                     std::size_t d) {
  float lanes[8] = {};
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    for (std::size_t l = 0; l < 8; ++l) lanes[l] += a[j + l] * b[j + l];
  }
  for (; j < d; ++j) lanes[0] += a[j] * b[j];
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]) + (lanes[4] + lanes[5]) +
         (lanes[6] + lanes[7]);
}

template <typename T>
std::vector<T> read_rows(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "bench_graph: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<T> out(static_cast<std::size_t>(in.tellg()) / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(T)));
  return out;
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
    else if (arg == "--efs") {
      o.efs.clear();
      const std::string list = value();
      for (std::size_t pos = 0; pos < list.size();) {
        const std::size_t comma = std::min(list.find(',', pos), list.size());
        o.efs.push_back(std::stoul(list.substr(pos, comma - pos)));
        pos = comma + 1;
      }
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
  data.base = read_rows<float>(o.base);
  data.queries = read_rows<float>(o.queries);
  data.truth = read_rows<std::uint32_t>(o.truth);
  return data;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename F>
double timed(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return seconds_since(start);
}

void check(const velq::Status& status, const char* what) {
  if (!status.ok()) {
    std::fprintf(stderr, "bench_graph: %s: %s\n", what, status.error().message().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  const Data data = load(o);
  const std::size_t n_total = data.n_base();
  const std::size_t n_build = std::min(o.n_build, n_total);
  const std::size_t threads = velq::pool_thread_count();

  char dir_template[] = "/tmp/velq-bench-graph-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  auto backend = velq::StorageBackend::from_uri(dir, velq::local_file_system());
  auto graph = velq::GraphManager::open(*backend, dir);
  check(graph.ok() ? velq::ok_status() : velq::Status(graph.error()), "open");

  std::atomic<std::uint64_t> scored{0};
  // Starts loading a row the graph is about to have scored.
  const auto prefetch_row = [&](std::uint32_t node) {
    const char* row = reinterpret_cast<const char*>(&data.base[std::size_t{node} * data.dim]);
    for (std::size_t line = 0; line < data.dim * sizeof(float); line += 64) {
      __builtin_prefetch(row + line);
    }
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

  const double build_s = timed([&] { check(graph->build(n_build, 32, 200, 5, scorer, 1.2), "build"); });
  std::printf("{\"op\": \"build\", \"n\": %zu, \"dim\": %zu, \"threads\": %zu, \"seconds\": %.3f, "
              "\"scores_per_node\": %.0f}\n",
              n_build, data.dim, threads, build_s, double(scored.exchange(0)) / double(n_build));
  if (!o.build_only && n_total > n_build) {
    const double add_s = timed(
        [&] { check(graph->build_incremental(n_total, 32, 200, 5, scorer, 1.2), "incremental"); });
    std::printf("{\"op\": \"incremental\", \"n\": %zu, \"added\": %zu, \"threads\": %zu, "
                "\"seconds\": %.3f, \"scores_per_node\": %.0f}\n",
                n_total, n_total - n_build, threads, add_s,
                double(scored.load()) / double(n_total - n_build));
  }
  std::fflush(stdout);

  for (const std::size_t ef : o.build_only ? std::vector<std::size_t>{} : o.efs) {
    std::vector<double> rates;
    std::size_t found = 0;
    std::size_t calls = 0;
    for (int rep = 0; rep < o.reps; ++rep) {
      found = 0;
      calls = 0;
      const double s = timed([&] {
        for (std::size_t q = 0; q < data.n_queries(); ++q) {
          const float* query = &data.queries[q * data.dim];
          const auto hits = graph->search(
              kTopK, ef,
              [&](std::uint32_t node) {
                ++calls;
                return dot(query, &data.base[node * data.dim], data.dim);
              },
              std::nullopt, o.no_prefetch ? velq::NodePrefetch() : velq::NodePrefetch(prefetch_row));
          const std::set<std::uint32_t> want(&data.truth[q * kTopK], &data.truth[q * kTopK] + kTopK);
          for (const velq::ScoredNode& h : hits) found += want.count(h.node);
        }
      });
      rates.push_back(double(data.n_queries()) / s);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("{\"op\": \"search\", \"n\": %zu, \"ef\": %zu, \"qps\": %.1f, \"recall\": %.4f, "
                "\"scores_per_query\": %.0f}\n",
                n_total, ef, rates[rates.size() / 2], double(found) / double(kTopK * data.n_queries()),
                double(calls) / double(data.n_queries()));
    std::fflush(stdout);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
