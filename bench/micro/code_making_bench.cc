// Where the time of making dense codes goes at large dimensions: the
// transposed product alone (one thread, processor time, multiply-adds per
// second) for several block sizes, then quantize_batch of a whole matrix on
// the pool (wall) and on the calling thread (processor time).
//
//   bench_code_making [--d 1536] [--rows 4096] [--blocks 8,16,32,64,128] [--reps 5]
#include <time.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_driver.h"
#include "common/cache_size.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"
#include "quantizer/prod_quantizer.h"

namespace {

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Median of reps runs of f's thread processor seconds.
template <typename F>
double median_thread_seconds(int reps, F&& f) {
  std::vector<double> secs;
  for (int r = 0; r < reps; ++r) {
    const double start = thread_seconds();
    f();
    secs.push_back(thread_seconds() - start);
  }
  std::sort(secs.begin(), secs.end());
  return secs[secs.size() / 2];
}

std::vector<float> unit_rows(std::size_t count, std::size_t d) {
  std::mt19937 gen(3);
  std::normal_distribution<float> normal;
  std::vector<float> rows(count * d);
  for (std::size_t v = 0; v < count; ++v) {
    double sq = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
      rows[v * d + i] = normal(gen);
      sq += double(rows[v * d + i]) * rows[v * d + i];
    }
    for (std::size_t i = 0; i < d; ++i) rows[v * d + i] = float(rows[v * d + i] / std::sqrt(sq));
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t d = 1536, count = 4096;
  std::vector<std::size_t> blocks = {8, 16, 32, 64, 128};
  int reps = 5;
  for (int a = 1; a + 1 < argc; a += 2) {
    const std::string key = argv[a], value = argv[a + 1];
    if (key == "--d") d = std::stoul(value);
    else if (key == "--rows") count = std::stoul(value);
    else if (key == "--blocks") blocks = velq::bench::size_list(value);
    else if (key == "--reps") reps = std::stoi(value);
  }
  const std::vector<float> rows = unit_rows(count, d);
  const velq::ProdQuantizer q = velq::ProdQuantizer::new_dense(d, 4, 42);
  std::vector<float> m(d * d);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = rows[i % rows.size()];

  std::printf("d %zu, %zu rows, %zu pool threads\n", d, count, velq::pool_thread_count());
  std::printf("%-28s %10s %12s\n", "transposed product", "block", "GMAC/s");
  for (std::size_t block : blocks) {
    if (block > count) continue;
    std::vector<float> out(block * d);
    const std::size_t passes = std::max<std::size_t>(1, 256 / block);
    const double secs = median_thread_seconds(reps, [&] {
      for (std::size_t p = 0; p < passes; ++p) {
        velq::linalg::mat_t_vecs(m, d, rows.data(), block, out.data());
      }
    });
    std::printf("%-28s %10zu %12.2f\n", "mat_t_vecs (thread CPU)", block,
                double(passes * block * d * d) / secs * 1e-9);
  }

  std::printf("cache below L1: %zu KiB, block chosen: %zu rows\n",
              velq::private_cache_bytes() >> 10, q.batch_block_rows());
  std::printf("%-40s %10s %12s %12s\n", "quantize_rows, calling thread", "block", "us/row CPU",
              "GMAC/s");
  std::vector<velq::EncodedVector> codes(count);
  std::vector<double> squares(count);
  for (std::size_t block : blocks) {
    for (const bool with_squares : {false, true}) {
      const double one = median_thread_seconds(reps, [&] {
        q.quantize_rows(rows, codes, with_squares ? std::span(squares) : std::span<double>(), block);
      });
      const double products = with_squares ? 4.0 : 3.0;
      std::printf("%-40s %10zu %12.1f %12.2f\n",
                  with_squares ? "  with decoded squares (4 products)" : "  codes (3 products)", block,
                  one / double(count) * 1e6, products * double(count * d * d) / one * 1e-9);
    }
  }
  const double rate = velq::bench::median_rate(reps, count, [&] {
    codes = q.quantize_batch(rows);
  });
  std::printf("quantize_batch, pool: %.0f rows/s wall\n", rate);
  return 0;
}
