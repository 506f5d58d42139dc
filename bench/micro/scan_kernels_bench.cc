// The kernels of the exhaustive scan in each form the processor runs: the
// first pass's integer sums over blocked codes (narrow 3-bit and wide 4-bit
// index tables; a cached set of codes and one larger than the caches), the
// one-pass exact score of packed codes, unpacking, and full-precision vector
// scoring. Ends with a table of the forms' times (processor time of one
// iteration: one pass over all the codes or vectors) and their ratios.
//
//   bench_scan_kernels [--benchmark_repetitions=5] [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "search/vector_scoring.h"
#include "kernel_bench.h"
#include "quantizer/blocked_codes.h"
#include "quantizer/first_pass.h"
#include "quantizer/packing.h"
#include "quantizer/score_kernels.h"

namespace {

using velq::bench::random_floats;

enum Form { kPortable, kAvx2, kAvx512 };

bool skip(benchmark::State& state, Form form) {
  return velq::bench::skip_without_avx2(state, form == kAvx2) ||
         velq::bench::skip_without_avx512(state, form == kAvx512);
}

std::vector<std::uint8_t> random_bytes(std::size_t len, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(len);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

const velq::first_pass::FirstPassKernels& pass_of(Form form) {
  namespace fp = velq::first_pass;
  return form == kAvx512 ? fp::avx512_first_pass_kernels() : form == kAvx2 ? fp::avx2_first_pass_kernels() : fp::portable_first_pass_kernels();
}

const velq::scoring::ScoreKernels& scoring_of(Form form) {
  namespace sc = velq::scoring;
  return form == kAvx512 ? sc::avx512_score_kernels() : form == kAvx2 ? sc::avx2_score_kernels() : sc::portable_score_kernels();
}

// Arguments: d, MSE bits (3 or 4: SRHT at b = 4 or 5, n = npow2(d)),
// codes. Random codes: every field value is a valid index.
template <Form kForm>
void BM_first_pass(benchmark::State& state) {
  if (skip(state, kForm)) return;
  const auto d = static_cast<std::size_t>(state.range(0));
  const auto bits = static_cast<unsigned>(state.range(1));
  const auto count = static_cast<std::size_t>(state.range(2));
  const velq::ProdQuantizer q =
      bits == 3 ? velq::ProdQuantizer::new_srht(d, 4, 1) : velq::ProdQuantizer::new_srht(d, 5, 1);
  const std::size_t stride = q.packed_mse_len() + q.qjl_len() + 9;
  const std::vector<std::uint8_t> slots = random_bytes(count * stride, 3);
  const velq::BlockedCodes codes = velq::BlockedCodes::build(q, slots, stride, count);
  const std::vector<std::uint8_t> tables = random_bytes(velq::first_pass_table_bytes(codes.shape()), 4);
  const auto& pass = pass_of(kForm);
  std::uint32_t index_sums[velq::BlockedShape::kCodes], sign_sums[velq::BlockedShape::kCodes];
  for (auto _ : state) {
    for (std::size_t b = 0; b < codes.blocks(); ++b) {
      pass.block_sums(codes.block(b), codes.shape(), tables.data(), index_sums, sign_sums);
      benchmark::DoNotOptimize(index_sums);
      benchmark::DoNotOptimize(sign_sums);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * codes.blocks() * 32));
}

// Both terms of 256 packed codes of n coordinates (3-bit indices, 8 levels).
template <Form kForm>
void BM_score_fused(benchmark::State& state) {
  if (skip(state, kForm)) return;
  const auto n = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kCodes = 256;
  const std::vector<float> levels = random_floats(8, 1.0f), q_rot = random_floats(n, 1.0f),
                           q_proj = random_floats(n, 1.0f);
  const std::size_t m = velq::packing::packed_len(n, 3), s = (n + 7) / 8;
  const std::vector<std::uint8_t> packed = random_bytes(kCodes * m, 5), signs = random_bytes(kCodes * s, 6);
  const auto& k = scoring_of(kForm);
  for (auto _ : state) {
    for (std::size_t c = 0; c < kCodes; ++c) {
      const velq::scoring::ScoreTerms t = k.level_dot_and_signs_packed(
          levels, q_rot, std::span(packed).subspan(c * m, m), 3, q_proj, std::span(signs).subspan(c * s, s), n);
      benchmark::DoNotOptimize(t);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCodes));
}

const velq::packing::UnpackKernels& unpack_of(Form form) {
  namespace pk = velq::packing;
  return form == kAvx512 ? pk::avx512_unpack_kernels()
         : form == kAvx2 ? pk::avx2_unpack_kernels()
                         : pk::portable_unpack_kernels();
}

// Arguments: n, bits. 256 packed codes unpacked to u16.
template <Form kForm>
void BM_unpack(benchmark::State& state) {
  if (skip(state, kForm)) return;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto bits = static_cast<unsigned>(state.range(1));
  constexpr std::size_t kCodes = 256;
  const std::size_t m = velq::packing::packed_len(n, bits);
  const std::vector<std::uint8_t> packed = random_bytes(kCodes * m, 7);
  std::vector<std::uint16_t> out(n);
  const auto& k = unpack_of(kForm);
  for (auto _ : state) {
    for (std::size_t c = 0; c < kCodes; ++c) {
      k.unpack(std::span(packed).subspan(c * m, m), out, n, bits);
      benchmark::DoNotOptimize(out.data());
    }
  }
}

// Arguments: d, metric (0 ip, 1 cosine, 2 l2). One query against 256 f64 vectors.
template <Form kForm>
void BM_score_vectors(benchmark::State& state) {
  if (skip(state, kForm)) return;
  const auto d = static_cast<std::size_t>(state.range(0));
  const auto metric = static_cast<velq::DistanceMetric>(state.range(1));
  constexpr std::size_t kVectors = 256;
  std::vector<double> rows(kVectors * d), query(d);
  const std::vector<float> values = random_floats((kVectors + 1) * d, 1.0f);
  std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(kVectors * d), rows.begin());
  std::copy(values.end() - static_cast<std::ptrdiff_t>(d), values.end(), query.begin());
  namespace f = velq::filter;
  const auto form = kForm == kAvx512 ? f::score_vectors_avx512
                    : kForm == kAvx2 ? f::score_vectors_avx2
                                     : f::score_vectors_portable;
  for (auto _ : state) {
    for (std::size_t v = 0; v < kVectors; ++v) {
      benchmark::DoNotOptimize(form(metric, query, std::span(rows).subspan(v * d, d)));
    }
  }
}

void first_pass_args(benchmark::internal::Benchmark* b) {
  for (const long d : {384, 768}) {
    for (const long bits : {3, 4}) {
      for (const long codes : {4096, 100000}) b->Args({d, bits, codes});
    }
  }
}

}  // namespace

BENCHMARK(BM_first_pass<kAvx2>)->Name("first_pass_avx2")->Apply(first_pass_args);
BENCHMARK(BM_first_pass<kAvx512>)->Name("first_pass_avx512")->Apply(first_pass_args);

#define VELQ_ALL_FORMS(fn, name, args)                                           \
  BENCHMARK(fn<kPortable>)->Name(name "_portable")->Apply(args);                 \
  BENCHMARK(fn<kAvx2>)->Name(name "_avx2")->Apply(args);                         \
  BENCHMARK(fn<kAvx512>)->Name(name "_avx512")->Apply(args)

VELQ_ALL_FORMS(BM_score_fused, "score_fused", [](benchmark::internal::Benchmark* b) {
  for (const long n : {384, 512, 768, 1024}) b->Arg(n);
});
VELQ_ALL_FORMS(BM_unpack, "unpack", [](benchmark::internal::Benchmark* b) {
  for (const long n : {384, 512, 768}) {
    for (const long bits : {3, 4}) b->Args({n, bits});
  }
});
VELQ_ALL_FORMS(BM_score_vectors, "score_vectors", [](benchmark::internal::Benchmark* b) {
  for (const long d : {384, 768}) {
    for (const long metric : {0, 1, 2}) b->Args({d, metric});
  }
});

int main(int argc, char** argv) { return velq::bench::run_kernel_benchmarks(argc, argv); }
