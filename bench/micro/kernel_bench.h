// Shared pieces of the benchmarks that time a portable and an AVX2 form of
// the same kernel, chiefly a console reporter for them. Benchmarks named "<op>_portable" and "<op>_avx2" with one
// integer argument are paired; after the usual table it prints, per
// operation and argument, both times and their ratio (medians when run with
// --benchmark_repetitions=N, else the single run).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/cpu_features.h"

namespace velq::bench {

class KernelRatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so piped output stays plain text.
  KernelRatioReporter() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!(single || median) || run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const std::size_t cut = name.rfind('_');
      if (cut == std::string::npos) continue;
      Times& t = times_[{name.substr(0, cut), std::stol(run.run_name.args)}];
      (name.substr(cut + 1) == "avx2" ? t.avx2 : t.portable) = run.GetAdjustedRealTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %6s %14s %14s %8s\n", "operation", "n", "portable ns", "avx2 ns",
                "ratio");
    for (const auto& [key, t] : times_) {
      if (t.portable <= 0 || t.avx2 <= 0) continue;
      std::printf("%-16s %6ld %14.1f %14.1f %7.2fx\n", key.first.c_str(), key.second, t.portable,
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

// main() of such a benchmark program.
inline int run_kernel_benchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  KernelRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// Marks the run as skipped when an AVX2 form cannot run here.
inline bool skip_without_avx2(benchmark::State& state, bool avx2) {
  if (avx2 && !has_avx2()) {
    state.SkipWithError("no AVX2");
    return true;
  }
  return false;
}

// len normal values with the given standard deviation (fixed seed).
inline std::vector<float> random_floats(std::size_t len, float sigma) {
  std::mt19937 gen(11);
  std::normal_distribution<float> dist(0.0f, sigma);
  std::vector<float> v(len);
  for (float& x : v) x = dist(gen);
  return v;
}

}  // namespace velq::bench
