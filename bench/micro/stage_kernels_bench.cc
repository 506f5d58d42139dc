// The kernels under the quantizer stages, portable against AVX2: the dense
// rotation (row dot products) and its transpose, the nearest-level search of
// quantization (8 levels) and the expansion of QJL sign bytes. Ends with a
// table of portable and AVX2 times and their ratio.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "kernel_bench.h"
#include "linalg/dense.h"
#include "quantizer/codebook.h"
#include "quantizer/nearest_level.h"
#include "quantizer/sign_bits.h"

namespace {

using velq::bench::random_floats;
using velq::bench::skip_without_avx2;

// d×d matrix times a vector of d.
template <bool kAvx2>
void BM_row_dots(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const auto d = static_cast<std::size_t>(state.range(0));
  const std::vector<float> m = random_floats(d * d, 1.0f);
  const std::vector<float> x = random_floats(d, 1.0f);
  std::vector<float> out(d);
  for (auto _ : state) {
    (kAvx2 ? velq::linalg::row_dots_avx2 : velq::linalg::row_dots_portable)(m.data(), d, d, d,
                                                                              x.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}

template <bool kAvx2>
void BM_mat_t_vec(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const auto d = static_cast<std::size_t>(state.range(0));
  const std::vector<float> m = random_floats(d * d, 1.0f);
  const std::vector<float> y = random_floats(d, 1.0f);
  std::vector<float> out(d);
  for (auto _ : state) {
    (kAvx2 ? velq::linalg::mat_t_vec_avx2 : velq::linalg::mat_t_vec_portable)(m, d, y, out);
    benchmark::DoNotOptimize(out.data());
  }
}

// n rotated coordinates of a unit vector against the 3-bit codebook.
template <bool kAvx2>
void BM_nearest_levels(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<float> levels;
  for (double c : velq::lloyd_max(3, n)) levels.push_back(static_cast<float>(c));
  const std::vector<float> y = random_floats(n, 1.0f / std::sqrt(static_cast<float>(n)));
  std::vector<std::uint16_t> out(n);
  for (auto _ : state) {
    (kAvx2 ? velq::nearest_levels_avx2 : velq::nearest_levels_portable)(levels, y, out);
    benchmark::DoNotOptimize(out.data());
  }
}

template <bool kAvx2>
void BM_expand_signs(benchmark::State& state) {
  if (skip_without_avx2(state, kAvx2)) return;
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> bytes(n / 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 5);
  std::vector<float> out(n);
  for (auto _ : state) {
    (kAvx2 ? velq::expand_signs_avx2 : velq::expand_signs_portable)(bytes, out);
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(BM_row_dots<false>)->Name("row_dots_portable")->Arg(384)->Arg(768)->Arg(1536);
BENCHMARK(BM_row_dots<true>)->Name("row_dots_avx2")->Arg(384)->Arg(768)->Arg(1536);
BENCHMARK(BM_mat_t_vec<false>)->Name("mat_t_vec_portable")->Arg(384)->Arg(768)->Arg(1536);
BENCHMARK(BM_mat_t_vec<true>)->Name("mat_t_vec_avx2")->Arg(384)->Arg(768)->Arg(1536);
BENCHMARK(BM_nearest_levels<false>)
    ->Name("nearest_levels_portable")
    ->Arg(512)
    ->Arg(1024)
    ->Arg(2048);
BENCHMARK(BM_nearest_levels<true>)->Name("nearest_levels_avx2")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_expand_signs<false>)->Name("expand_signs_portable")->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(BM_expand_signs<true>)->Name("expand_signs_avx2")->Arg(512)->Arg(1024)->Arg(2048);

}  // namespace

int main(int argc, char** argv) { return velq::bench::run_kernel_benchmarks(argc, argv); }
