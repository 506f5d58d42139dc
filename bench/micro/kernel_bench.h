// Shared pieces of the benchmarks that time the portable, AVX2 and AVX-512
// forms of the same kernel, chiefly a console reporter for them. Benchmarks
// named "<op>_portable", "<op>_avx2" and "<op>_avx512" with one or more
// integer arguments are grouped; after the usual table it prints, per
// operation and arguments, each form's time and the ratios of each form to
// the next narrower one (medians when run with --benchmark_repetitions=N,
// else the single run).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
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
      const std::string form = name.substr(cut + 1);
      for (std::size_t f = 0; f < kForms.size(); ++f) {
        if (form == kForms[f]) times_[{name.substr(0, cut), run.run_name.args}][f] = run.GetAdjustedCPUTime();
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-20s %-12s %13s %13s %13s %9s %9s\n", "operation", "args", "portable ns",
                "avx2 ns", "avx512 ns", "p/avx2", "avx2/512");
    for (const auto& [key, t] : times_) {
      std::printf("%-20s %-12s", key.first.c_str(), key.second.c_str());
      for (const double v : t) {
        if (v > 0) {
          std::printf(" %13.1f", v);
        } else {
          std::printf(" %13s", "-");
        }
      }
      for (std::size_t f = 1; f < t.size(); ++f) {
        if (t[f - 1] > 0 && t[f] > 0) {
          std::printf(" %8.2fx", t[f - 1] / t[f]);
        } else {
          std::printf(" %9s", "-");
        }
      }
      std::printf("\n");
    }
  }

 private:
  static constexpr std::array<const char*, 3> kForms = {"portable", "avx2", "avx512"};
  std::map<std::pair<std::string, std::string>, std::array<double, 3>> times_;  // (operation, args)
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

// Marks the run as skipped when an AVX-512 form cannot run here.
inline bool skip_without_avx512(benchmark::State& state, bool avx512) {
  if (avx512 && !has_avx512()) {
    state.SkipWithError("no AVX-512");
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
