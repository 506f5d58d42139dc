// The two quantizer stages on the write and decode paths: MSE quantize and
// dequantize, QJL projection and reconstruction, for the SRHT and dense forms
// at common embedding sizes, and building the dense rotation (on the worker
// pool). Run with --benchmark_repetitions=N for medians.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "quantizer/mse_quantizer.h"
#include "quantizer/qjl_quantizer.h"

namespace {

using velq::MseQuantizer;
using velq::QjlQuantizer;

std::vector<float> unit_vector(std::size_t d) {
  std::mt19937 gen(5);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(d);
  double norm = 0.0;
  for (float& x : v) {
    x = dist(gen);
    norm += double(x) * x;
  }
  for (float& x : v) x = static_cast<float>(x / std::sqrt(norm));
  return v;
}

MseQuantizer make_mse(const benchmark::State& state) {
  const auto d = static_cast<std::uint64_t>(state.range(0));
  return state.range(1) != 0 ? MseQuantizer::new_dense(d, 3, 42) : MseQuantizer::new_srht(d, 3, 42);
}

QjlQuantizer make_qjl(const benchmark::State& state) {
  const auto d = static_cast<std::uint64_t>(state.range(0));
  return state.range(1) != 0 ? QjlQuantizer::new_dense(d, 42) : QjlQuantizer::new_srht(d, 42);
}

void BM_mse_quantize(benchmark::State& state) {
  const MseQuantizer q = make_mse(state);
  const std::vector<float> x = unit_vector(q.d);
  std::vector<std::uint16_t> out(q.n);
  for (auto _ : state) {
    q.quantize_into(x, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_mse_dequantize(benchmark::State& state) {
  const MseQuantizer q = make_mse(state);
  const std::vector<std::uint16_t> idx = q.quantize(unit_vector(q.d));
  std::vector<double> out(q.d);
  for (auto _ : state) {
    q.dequantize_into(idx, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_qjl_project(benchmark::State& state) {
  const QjlQuantizer q = make_qjl(state);
  const std::vector<float> x = unit_vector(q.d);
  std::vector<float> out(q.n);
  for (auto _ : state) {
    q.apply_projection(x, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_qjl_reconstruct(benchmark::State& state) {
  const QjlQuantizer q = make_qjl(state);
  std::vector<std::uint8_t> bytes((q.n + 7) / 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 5);
  std::vector<double> out(q.d);
  for (auto _ : state) {
    q.reconstruct_into(bytes, 0.1, 1.25f, out);
    benchmark::DoNotOptimize(out.data());
  }
}

// Building the dense rotation: Gaussian draws and Gram-Schmidt, O(d^3).
void BM_mse_new_dense(benchmark::State& state) {
  const auto d = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(MseQuantizer::new_dense(d, 3, 42));
}

// Arguments: dimension, dense (0 = SRHT form, 1 = dense form).
void stage_sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"d", "dense"});
  for (std::int64_t dense : {0, 1}) {
    for (std::int64_t d : {384, 768, 1536}) b->Args({d, dense});
  }
}

BENCHMARK(BM_mse_quantize)->Apply(stage_sizes);
BENCHMARK(BM_mse_dequantize)->Apply(stage_sizes);
BENCHMARK(BM_qjl_project)->Apply(stage_sizes);
BENCHMARK(BM_qjl_reconstruct)->Apply(stage_sizes);
BENCHMARK(BM_mse_new_dense)
    ->Arg(384)
    ->Arg(768)
    ->Arg(1536)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
