// Quantizer figures: encoding speed, scoring speed against the memory-read
// ceiling, and estimate quality. Prints tables; every rate is the median of
// several timed rounds, timed in this thread's CPU time so that other load on
// a shared machine does not count. --benchmark_min_time=<seconds>s sets the
// time spent per row (default 0.2 s).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/cpu_features.h"
#include "common/worker_pool.h"
#include "quantizer/prod_quantizer.h"

namespace velq {
namespace {

using Clock = std::chrono::steady_clock;

double g_min_time = 0.2;

std::vector<float> unit_vector(std::size_t d, std::mt19937& gen) {
  std::normal_distribution<float> normal;
  std::vector<float> v(d);
  double norm = 0.0;
  for (auto& x : v) {
    x = normal(gen);
    norm += static_cast<double>(x) * x;
  }
  for (auto& x : v) x = static_cast<float>(x / std::sqrt(norm));
  return v;
}

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Runs `round` (which handles `items` items) until g_min_time has passed and
// at least three rounds ran; returns the median items per second of `clock`
// (by default this thread's CPU time).
double median_rate(std::size_t items, const std::function<void()>& round,
                   double (*clock)() = thread_seconds) {
  std::vector<double> rates;
  const auto start = Clock::now();
  while (rates.size() < 3 || std::chrono::duration<double>(Clock::now() - start).count() < g_min_time) {
    const double t0 = clock();
    round();
    rates.push_back(static_cast<double>(items) / (clock() - t0));
  }
  std::nth_element(rates.begin(), rates.begin() + rates.size() / 2, rates.end());
  return rates[rates.size() / 2];
}

volatile double g_sink = 0.0;

using Factory = ProdQuantizer (*)(std::uint64_t, std::uint64_t, std::uint64_t);

struct Mode {
  const char* name;
  Factory make;
};

const Mode kModes[] = {{"srht", ProdQuantizer::new_srht},
                       {"srht_fast", ProdQuantizer::new_srht_fast},
                       {"dense", ProdQuantizer::new_dense},
                       {"dense_fast", ProdQuantizer::new_dense_fast}};

void bench_quantize() {
  std::printf("\n== quantize (b = 4; single rows on one thread, batch rows on %zu pool threads)\n",
              pool_thread_count());
  std::printf("%-6s %-6s %14s %12s\n", "d", "mode", "vectors/s", "us/vector");
  std::mt19937 gen(1);
  for (std::uint64_t d : {384u, 768u, 1536u}) {
    for (const Mode& mode : {kModes[0], kModes[2]}) {
      const ProdQuantizer q = mode.make(d, 4, 42);
      std::vector<std::vector<float>> xs;
      for (int i = 0; i < 32; ++i) xs.push_back(unit_vector(d, gen));
      const std::size_t batch = q.mse_quantizer().is_dense() ? 4 : 32;
      const double rate = median_rate(batch, [&] {
        for (std::size_t i = 0; i < batch; ++i) g_sink = q.quantize(xs[i]).gamma;
      });
      std::printf("%-6llu %-6s %14.0f %12.2f\n", static_cast<unsigned long long>(d), mode.name,
                  rate, 1e6 / rate);
      // The same vectors repeated to a batch of 2,048: whole blocks for
      // every pool thread. One pool thread quantizes in this thread, whose
      // CPU time is then the fair clock.
      std::vector<float> rows;
      for (int r = 0; r < 64; ++r) {
        for (const auto& x : xs) rows.insert(rows.end(), x.begin(), x.end());
      }
      const double batch_rate = median_rate(
          rows.size() / d, [&] { g_sink = q.quantize_batch(rows).back().gamma; },
          pool_thread_count() == 1 ? thread_seconds : wall_seconds);
      std::printf("%-6llu %-6s %14.0f %12.2f  (batch)\n", static_cast<unsigned long long>(d),
                  mode.name, batch_rate, 1e6 / batch_rate);
    }
  }
}

// Slots laid out as the live codes file lays them out: packed indices, sign
// bytes, gamma (f32), norm (f32), deleted flag.
struct SlotArray {
  std::size_t m = 0, qlen = 0, stride = 0, count = 0;
  std::vector<std::uint8_t> bytes;

  SlotArray(const ProdQuantizer& q, std::size_t target_bytes, std::mt19937& gen)
      : m(q.packed_mse_len()), qlen(q.fast_mode() ? 0 : q.qjl_len()), stride(m + qlen + 9) {
    count = target_bytes / stride;
    bytes.resize(count * stride);
    // Distinct real codes, repeated to fill the array.
    const std::size_t distinct = 2048;
    for (std::size_t s = 0; s < distinct && s < count; ++s) {
      const EncodedVector code = q.quantize(unit_vector(q.d(), gen));
      const auto packed = q.pack_mse_indices(code.mse_indices);
      std::uint8_t* slot = bytes.data() + s * stride;
      std::memcpy(slot, packed.data(), m);
      std::memcpy(slot + m, code.qjl_bits.data(), qlen);
      const float gamma = static_cast<float>(code.gamma);
      std::memcpy(slot + m + qlen, &gamma, 4);
    }
    for (std::size_t s = distinct; s < count; ++s) {
      std::memcpy(bytes.data() + s * stride, bytes.data() + (s % distinct) * stride, stride);
    }
  }
  std::span<const std::uint8_t> packed(std::size_t s) const { return {bytes.data() + s * stride, m}; }
  std::span<const std::uint8_t> signs(std::size_t s) const {
    return {bytes.data() + s * stride + m, qlen};
  }
  double gamma(std::size_t s) const {
    float g;
    std::memcpy(&g, bytes.data() + s * stride + m + qlen, 4);
    return g;
  }
};

// Plain sequential read of the same bytes: the rate no scorer can beat.
double memory_read_rate(const SlotArray& slots) {
  const std::size_t words = slots.bytes.size() / 8;
  return median_rate(words * 8, [&] {
    const auto* p = slots.bytes.data();
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    std::size_t i = 0;
    for (; i + 4 <= words; i += 4) {
      std::uint64_t w[4];
      std::memcpy(w, p + 8 * i, sizeof w);
      a += w[0];
      b += w[1];
      c += w[2];
      d += w[3];
    }
    g_sink = static_cast<double>(a + b + c + d);
  });
}

void bench_scoring() {
  std::printf("\n== scoring (SRHT, b = 4, one thread, codes streamed from a %s)\n",
              "96 MiB slot array");
  std::printf("%-10s %-26s %-9s %12s %9s %10s\n", "d", "road", "kernels", "codes/s", "GB/s",
              "of ceiling");
  std::mt19937 gen(2);
  std::vector<const scoring::ScoreKernels*> kernel_sets = {&scoring::portable_score_kernels()};
#if VELQ_X86
  if (has_avx2()) kernel_sets.push_back(&scoring::avx2_score_kernels());
#endif
  // Fast mode (16 levels, no sketch) for comparison at the smaller size.
  const std::pair<std::uint64_t, const Mode*> configs[] = {
      {384, &kModes[0]}, {768, &kModes[0]}, {384, &kModes[1]}};
  for (const auto& [d, mode] : configs) {
    const ProdQuantizer q = mode->make(d, 4, 42);
    const std::string label = std::to_string(d) + (q.fast_mode() ? " fast" : "");
    const SlotArray slots(q, 96u << 20, gen);
    const auto query = unit_vector(d, gen);
    const PreparedIpQuery full = q.prepare_ip_query(query);
    const PreparedIpQueryLite lite = q.prepare_ip_query_lite(query);
    const double code_bytes = static_cast<double>(slots.m + slots.qlen);
    const double ceiling = memory_read_rate(slots);
    std::printf("%-10s %-26s %-9s %12.0f %9.2f %10s\n", label.c_str(), "memory read (ceiling)", "-", ceiling / slots.stride, ceiling / 1e9, "1.00");
    std::vector<std::uint16_t> idx(q.n());
    using Road = std::function<double(std::size_t, const scoring::ScoreKernels&)>;
    const std::pair<const char*, Road> roads[] = {
        {"unpack + score_ip_encoded",
         [&](std::size_t s, const scoring::ScoreKernels& ks) {
           q.unpack_mse_indices(slots.packed(s), idx);
           return q.score_ip_encoded(full, idx, slots.signs(s), slots.gamma(s), ks);
         }},
        {"unpack + score_..._lite",
         [&](std::size_t s, const scoring::ScoreKernels& ks) {
           q.unpack_mse_indices(slots.packed(s), idx);
           return q.score_ip_encoded_lite(lite, idx, slots.signs(s), slots.gamma(s), ks);
         }},
        {"score_ip_packed",
         [&](std::size_t s, const scoring::ScoreKernels& ks) {
           return q.score_ip_packed(full, slots.packed(s), slots.signs(s), slots.gamma(s), ks);
         }},
        {"score_ip_packed_lite",
         [&](std::size_t s, const scoring::ScoreKernels& ks) {
           return q.score_ip_packed_lite(lite, slots.packed(s), slots.signs(s), slots.gamma(s), ks);
         }},
    };
    for (const auto& [name, road] : roads) {
      for (const auto* ks : kernel_sets) {
        const double rate = median_rate(slots.count, [&] {
          double acc = 0.0;
          for (std::size_t s = 0; s < slots.count; ++s) acc += road(s, *ks);
          g_sink = acc;
        });
        const double gbs = rate * code_bytes / 1e9;
        std::printf("%-10s %-26s %-9s %12.0f %9.2f %10.2f\n", "", name, ks->name, rate, gbs,
                    rate * slots.stride / ceiling);
      }
    }
  }
  std::printf("(GB/s counts packed index and sign bytes; 'of ceiling' compares slot bytes\n"
              " streamed per second with the plain read of the same array)\n");
}

// Error of score_ip_encoded against the exact <q, x> for unit x. Independent
// queries have <q, x> near 0, where a multiplicative bias cannot show, so a
// second set uses q = unit(x + g) with <q, x> around 0.7. The sketch is
// unbiased over the choice of projection, so each row pools several
// quantizer seeds.
void bench_quality() {
  constexpr std::size_t kDim = 384, kSeeds = 3, kCodes = 300, kQueries = 4;
  std::printf("\n== estimate quality (d = %zu, %zu seeds x %zu codes x %zu queries per row)\n",
              kDim, kSeeds, kCodes, kQueries);
  std::printf("%-3s %-11s %11s %12s | %11s %22s\n", "b", "mode", "MAE(indep)", "bias(indep)",
              "MAE(corr)", "bias(corr) +- 2 SE");
  for (std::uint64_t b : {2u, 3u, 4u}) {
    for (const Mode& mode : kModes) {
      std::mt19937 gen(3);
      double abs_i = 0, sum_i = 0, abs_c = 0, sum_c = 0, sq_c = 0;
      std::size_t pairs = 0;
      ProdQuantizer q;
      for (std::size_t c = 0; c < kSeeds * kCodes; ++c) {
        if (c % kCodes == 0) q = mode.make(kDim, b, 7 + c / kCodes);
        const auto x = unit_vector(kDim, gen);
        const EncodedVector code = q.quantize(x);
        for (std::size_t k = 0; k < kQueries; ++k) {
          const auto indep = unit_vector(kDim, gen);
          auto corr = unit_vector(kDim, gen);
          double norm = 0;
          for (std::size_t i = 0; i < kDim; ++i) {
            corr[i] = x[i] + corr[i];
            norm += static_cast<double>(corr[i]) * corr[i];
          }
          for (auto& v : corr) v = static_cast<float>(v / std::sqrt(norm));
          for (int which = 0; which < 2; ++which) {
            const auto& query = which == 0 ? indep : corr;
            double exact = 0;
            for (std::size_t i = 0; i < kDim; ++i) exact += static_cast<double>(query[i]) * x[i];
            const double err =
                q.score_ip_encoded(q.prepare_ip_query(query), code.mse_indices, code.qjl_bits,
                                   code.gamma) -
                exact;
            if (which == 0) {
              abs_i += std::fabs(err);
              sum_i += err;
            } else {
              abs_c += std::fabs(err);
              sum_c += err;
              sq_c += err * err;
            }
          }
          ++pairs;
        }
      }
      const double n = static_cast<double>(pairs);
      const double mean_c = sum_c / n;
      const double se_c = std::sqrt(std::max(0.0, sq_c / n - mean_c * mean_c) / n);
      std::printf("%-3llu %-11s %11.5f %+12.5f | %11.5f %+12.5f +- %.5f\n",
                  static_cast<unsigned long long>(b), mode.name, abs_i / n, sum_i / n, abs_c / n,
                  mean_c, 2 * se_c);
    }
  }
}

}  // namespace
}  // namespace velq

int main(int argc, char** argv) {
  // Other arguments name the tables to print (quantize, scoring, quality); none: all.
  std::vector<std::string> tables;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string flag = "--benchmark_min_time=";
    if (arg.rfind(flag, 0) == 0) {
      velq::g_min_time = std::stod(arg.substr(flag.size()));
    } else {
      tables.push_back(arg);
    }
  }
  const auto wanted = [&](const char* name) {
    return tables.empty() || std::find(tables.begin(), tables.end(), name) != tables.end();
  };
  std::printf("velq quantizer benchmark (AVX2+FMA %s; %.2f s per row)\n",
              velq::has_avx2() ? "available" : "not available", velq::g_min_time);
  if (wanted("quantize")) velq::bench_quantize();
  if (wanted("scoring")) velq::bench_scoring();
  if (wanted("quality")) velq::bench_quality();
  return 0;
}
