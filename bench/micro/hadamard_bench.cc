// Walsh-Hadamard transform and SRHT, portable against AVX2, at the padded
// lengths of common embedding sizes. After the usual table it prints, per
// operation and size, the portable and AVX2 times and their ratio (medians
// when run with --benchmark_repetitions=N).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "linalg/hadamard.h"

namespace {

using velq::linalg::npow2;

std::vector<float> random_vector(std::size_t len) {
  std::mt19937 gen(7);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(len);
  for (float& x : v) x = dist(gen);
  return v;
}

std::vector<float> random_signs(std::size_t len) {
  std::mt19937 gen(8);
  std::vector<float> s(len);
  for (float& x : s) x = (gen() & 1) != 0 ? -1.0f : 1.0f;
  return s;
}

bool skip_without_avx2(benchmark::State& state, bool avx2) {
  if (avx2 && !velq::has_avx2()) {
    state.SkipWithError("no AVX2");
    return true;
  }
  return false;
}

template <bool kAvx2>
void BM_fwht(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> input = random_vector(n);
  std::vector<float> v(n);
  for (auto _ : state) {
    // A fresh copy each time keeps the values finite (the transform grows
    // them by √n); the copy is a small part of the figure.
    std::copy(input.begin(), input.end(), v.begin());
    if constexpr (kAvx2) {
      velq::linalg::fwht_avx2(v);
    } else {
      velq::linalg::fwht_portable(v);
    }
    benchmark::DoNotOptimize(v.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

// Forward rotation of a d-dimensional vector (d = 3/4 of the padded length,
// so the zero padding is exercised too).
template <bool kAvx2>
void BM_srht(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::size_t d = n * 3 / 4;
  const std::vector<float> x = random_vector(d);
  const std::vector<float> signs = random_signs(npow2(d));
  std::vector<float> out(npow2(d));
  for (auto _ : state) {
    if constexpr (kAvx2) {
      velq::linalg::srht_avx2(x, signs, out);
    } else {
      velq::linalg::srht_portable(x, signs, out);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

template <bool kAvx2>
void BM_inverse_srht(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::size_t d = n * 3 / 4;
  const std::vector<float> y = random_vector(npow2(d));
  const std::vector<float> signs = random_signs(npow2(d));
  std::vector<float> out(d);
  for (auto _ : state) {
    if constexpr (kAvx2) {
      velq::linalg::inverse_srht_avx2(y, signs, out, d);
    } else {
      velq::linalg::inverse_srht_portable(y, signs, out, d);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_fwht<false>)->Name("fwht_portable")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_fwht<true>)->Name("fwht_avx2")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_srht<false>)->Name("srht_portable")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_srht<true>)->Name("srht_avx2")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_inverse_srht<false>)->Name("inverse_srht_portable")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_inverse_srht<true>)->Name("inverse_srht_avx2")->Arg(512)->Arg(1024)->Arg(2048);

// Console output plus a closing table of portable / AVX2 ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!(single || median) || run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const std::size_t cut = name.rfind('_');
      Times& t = times_[{name.substr(0, cut), std::stol(run.run_name.args)}];
      (name.substr(cut + 1) == "avx2" ? t.avx2 : t.portable) = run.GetAdjustedRealTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-14s %6s %14s %14s %8s\n", "operation", "n", "portable ns", "avx2 ns",
                "ratio");
    for (const auto& [key, t] : times_) {
      if (t.portable <= 0 || t.avx2 <= 0) continue;
      std::printf("%-14s %6ld %14.1f %14.1f %7.2fx\n", key.first.c_str(), key.second, t.portable,
                  t.avx2, t.portable / t.avx2);
    }
  }

 private:
  struct Times {
    double portable = 0;
    double avx2 = 0;
  };
  std::map<std::pair<std::string, long>, Times> times_;  // (operation, n)
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
