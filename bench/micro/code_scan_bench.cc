// Exhaustive scan of slot codes, as the engine's search will run it: one
// query per call, a pool of 10 (top 10, no rerank) or --pool, inner product
// or L2, through CodeScan with and without the first pass, on the vectors of
// a file. Also times quantizing the vectors in one batch and one at a time
// and building the blocked layout (and for L2 the reconstruction norms).
// Prints one JSON object per figure; bench/scan_vs_faiss.py runs it beside
// faiss on the same vectors. A plain read of the blocked layout on the same
// threads gives the memory's ceiling.
//
//   bench_code_scan --dim D --base F --queries F [--mode dense|srht] [--reps 3]
//                   [--clock wall|thread] [--metric ip|l2] [--pool 10]
//                   [--max-queries N]
//
// The base rows are stored as the engine stores them under either metric
// (unit vector codes and their norms), so ip and l2 runs on one file compare
// like for like, and the queries are used as they are.
//
// Files hold little-endian float32 rows. The pool size comes from
// RAYON_NUM_THREADS. `--clock thread` times the calling thread's processor
// time instead of wall time: on a shared machine it leaves out the time the
// thread waited for a processor (meaningful with one thread only).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <ctime>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "search/code_scan.h"

namespace {

using velq::ProdQuantizer;
using Clock = std::chrono::steady_clock;

bool thread_clock = false;

// Seconds on the chosen clock; differences of two readings are durations.
double clock_now() {
  if (!thread_clock) return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

std::vector<float> read_rows(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<float> out(static_cast<std::size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(float)));
  return out;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t dim = 0;
  int reps = 3;
  std::size_t pool = 10, max_queries = 0;
  std::string base_path, query_path, mode = "dense", metric = "ip";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--dim") dim = std::stoul(argv[i + 1]);
    if (arg == "--base") base_path = argv[i + 1];
    if (arg == "--queries") query_path = argv[i + 1];
    if (arg == "--mode") mode = argv[i + 1];
    if (arg == "--reps") reps = std::stoi(argv[i + 1]);
    if (arg == "--clock") thread_clock = std::string(argv[i + 1]) == "thread";
    if (arg == "--metric") metric = argv[i + 1];
    if (arg == "--pool") pool = std::stoul(argv[i + 1]);
    if (arg == "--max-queries") max_queries = std::stoul(argv[i + 1]);
  }
  if (dim == 0 || base_path.empty() || query_path.empty()) {
    std::fprintf(stderr, "usage: bench_code_scan --dim D --base F --queries F [--mode dense|srht]\n");
    return 2;
  }
  const bool l2 = metric == "l2";
  std::vector<float> base = read_rows(base_path);
  const std::vector<float> queries = read_rows(query_path);
  const std::size_t n = base.size() / dim;
  std::size_t nq = queries.size() / dim;
  if (max_queries > 0) nq = std::min(nq, max_queries);
  std::vector<float> norms(n);
  for (std::size_t i = 0; i < n; ++i) {
    double sq = 0.0;
    for (std::size_t j = 0; j < dim; ++j) sq += static_cast<double>(base[i * dim + j]) * base[i * dim + j];
    norms[i] = static_cast<float>(std::sqrt(sq));
    const float scale = norms[i] > 0.0f ? 1.0f / norms[i] : 0.0f;
    for (std::size_t j = 0; j < dim; ++j) base[i * dim + j] *= scale;
  }
  const ProdQuantizer q =
      mode == "dense" ? ProdQuantizer::new_dense(dim, 4, 42) : ProdQuantizer::new_srht(dim, 4, 42);
  const std::size_t threads = velq::pool_thread_count();

  // Quantize: the whole base as one batch, and a sample one vector at a time.
  double t0 = clock_now();
  const std::vector<velq::EncodedVector> codes = q.quantize_batch(base);
  const double batch_rate = static_cast<double>(n) / (clock_now() - t0);
  const std::size_t sample = std::min<std::size_t>(n, mode == "dense" ? 2000 : 20000);
  t0 = clock_now();
  double sink = 0.0;
  for (std::size_t i = 0; i < sample; ++i) {
    sink += q.quantize(std::span(base).subspan(i * dim, dim)).gamma;
  }
  const double single_rate = static_cast<double>(sample) / (clock_now() - t0);
  std::printf("{\"figure\":\"quantize\",\"threads\":%zu,\"batch_per_s\":%.0f,\"single_per_s\":%.0f,\"sink\":%g}\n",
              threads, batch_rate, single_rate, sink > 0 ? 1.0 : 0.0);

  // Slots as the engine lays them out.
  const std::size_t m = q.packed_mse_len(), qlen = q.qjl_len(), stride = m + qlen + 9;
  std::vector<std::uint8_t> slots(n * stride, 0);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t* slot = slots.data() + i * stride;
    const auto packed = q.pack_mse_indices(codes[i].mse_indices);
    std::memcpy(slot, packed.data(), m);
    std::memcpy(slot + m, codes[i].qjl_bits.data(), qlen);
    const float gamma = static_cast<float>(codes[i].gamma), norm = norms[i];
    std::memcpy(slot + m + qlen, &gamma, 4);
    std::memcpy(slot + m + qlen + 4, &norm, 4);
  }
  std::vector<double> build_times;
  for (int r = 0; r < reps; ++r) {
    t0 = clock_now();
    const velq::BlockedCodes b = velq::BlockedCodes::build(q, slots, stride, n);
    build_times.push_back((clock_now() - t0));
  }
  const velq::BlockedCodes blocked = velq::BlockedCodes::build(q, slots, stride, n);
  std::printf("{\"figure\":\"layout\",\"threads\":%zu,\"build_s\":%.4f,\"layout_bytes\":%zu,\"slot_bytes\":%zu}\n",
              threads, median(build_times), blocked.memory_bytes(), slots.size());

  // A plain read of the same bytes on the same threads (one word of every
  // 64-byte line, so every line comes in once): the memory's ceiling for a
  // scan that reads the layout once per query.
  std::vector<double> read_times;
  std::uint64_t read_sink = 0;
  const std::size_t words = blocked.memory_bytes() / sizeof(std::uint64_t);
  for (int r = 0; r < reps; ++r) {
    for (std::size_t k = 0; k < nq; ++k) {
      std::vector<std::uint64_t> sinks(words / 8192 + 1);
      t0 = clock_now();
      velq::parallel_for(sinks.size(), 16, [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; ++c) {
          std::uint64_t acc = 0;
          const std::size_t end = std::min(words, (c + 1) * 8192);
          for (std::size_t w = c * 8192; w < end; w += 8) {
            std::uint64_t v;
            std::memcpy(&v, blocked.block(0) + w * sizeof v, sizeof v);
            acc ^= v;
          }
          sinks[c] = acc;
        }
      });
      read_times.push_back(clock_now() - t0);
      for (const std::uint64_t v : sinks) read_sink ^= v;
    }
  }
  std::printf("{\"figure\":\"read\",\"threads\":%zu,\"codes_per_s\":%.0f,\"bytes_per_s\":%.0f,\"sink\":%d}\n",
              threads, static_cast<double>(n) / median(read_times),
              static_cast<double>(blocked.memory_bytes()) / median(read_times), read_sink == 1 ? 1 : 0);

  std::optional<velq::ReconstructionNorms> recon;
  if (l2) {
    std::vector<double> norm_times;
    for (int r = 0; r < reps; ++r) {
      t0 = clock_now();
      recon = velq::ReconstructionNorms::build(q, slots, stride, n);
      norm_times.push_back(clock_now() - t0);
    }
    std::printf("{\"figure\":\"reconstruction_norms\",\"threads\":%zu,\"build_s\":%.4f,\"bytes\":%zu}\n",
                threads, median(norm_times), recon->memory_bytes());
  }
  const velq::DistanceMetric scan_metric = l2 ? velq::DistanceMetric::kL2 : velq::DistanceMetric::kIp;
  const velq::ReconstructionNorms* recon_ptr = recon ? &*recon : nullptr;

  std::vector<std::uint32_t> candidates(n);
  for (std::size_t i = 0; i < n; ++i) candidates[i] = static_cast<std::uint32_t>(i);
  std::vector<double> two_stage, plain;
  std::size_t exact = 0, mismatches = 0;
  for (int r = 0; r < reps; ++r) {
    for (std::size_t k = 0; k < nq; ++k) {
      const auto query = std::span(queries).subspan(k * dim, dim);
      const std::vector<double> wide(query.begin(), query.end());
      // The query's preparation is part of each call, as in a search.
      t0 = clock_now();
      const velq::PreparedIpQuery pq = q.prepare_ip_query(query);
      const velq::engine::CodeScan scan(q, pq, scan_metric, 1.0, {slots, stride}, &blocked,
                                        {wide, recon_ptr});
      const velq::engine::ScanResult fast = scan.run(candidates, pool);
      two_stage.push_back((clock_now() - t0));
      t0 = clock_now();
      // Every candidate scored exactly, L2 from the same terms and norms.
      const velq::PreparedIpQuery pq2 = q.prepare_ip_query(query);
      const velq::engine::CodeScan scan2(q, pq2, scan_metric, 1.0, {slots, stride}, nullptr,
                                         {wide, recon_ptr});
      const velq::engine::ScanResult slow = scan2.run(candidates, pool);
      plain.push_back((clock_now() - t0));
      exact += fast.scored_exactly;
      const auto a = fast.pool.entries(), b = slow.pool.entries();
      for (std::size_t i = 0; i < a.size(); ++i) mismatches += a[i].slot != b[i].slot || a[i].score != b[i].score;
    }
  }
  const double calls = static_cast<double>(two_stage.size());
  std::printf("{\"figure\":\"scan\",\"metric\":\"%s\",\"pool\":%zu,\"threads\":%zu,\"two_stage_codes_per_s\":%.0f,\"plain_codes_per_s\":%.0f,"
              "\"survivors\":%.5f,\"pool_mismatches\":%zu}\n",
              metric.c_str(), pool, threads, static_cast<double>(n) / median(two_stage), static_cast<double>(n) / median(plain),
              static_cast<double>(exact) / (calls * static_cast<double>(n)), mismatches);
  return 0;
}
