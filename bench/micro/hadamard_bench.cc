// Walsh-Hadamard transform and SRHT, portable against AVX2, at the padded
// lengths of common embedding sizes. After the usual table it prints, per
// operation and size, the portable and AVX2 times and their ratio (medians
// when run with --benchmark_repetitions=N).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernel_bench.h"
#include "linalg/hadamard.h"

namespace {

using velq::bench::random_floats;
using velq::bench::skip_without_avx2;
using velq::linalg::npow2;

std::vector<float> random_signs(std::size_t len) {
  std::mt19937 gen(8);
  std::vector<float> s(len);
  for (float& x : s) x = (gen() & 1) != 0 ? -1.0f : 1.0f;
  return s;
}

template <bool kAvx2>
void BM_fwht(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> input = random_floats(n, 1.0f);
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
  const std::vector<float> x = random_floats(d, 1.0f);
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
  const std::vector<float> y = random_floats(npow2(d), 1.0f);
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

}  // namespace

int main(int argc, char** argv) { return velq::bench::run_kernel_benchmarks(argc, argv); }
