// Where the fixed cost of one search goes: the steps of a search on a
// database holding a single record (dense rotation, b = 4, inner product,
// default options), each timed alone, beside the whole search and the
// search of an empty database. The query product runs through every form
// the processor has (the AVX-512 one reads the matrix's transpose), from
// matrices aligned to cache lines as the quantizer keeps them. CPU
// time of this thread; run with --benchmark_repetitions=N for medians, and
// RAYON_NUM_THREADS=1 for one thread; the forms of the product are printed
// side by side with their ratios after the table.
#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "kernel_bench.h"
#include "engine/velqor_engine.h"
#include "linalg/blocked_product.h"
#include "quantizer/huge_page_allocator.h"
#include "quantizer/prod_quantizer.h"

namespace {

using velq::ProdQuantizer;

// A query-sized vector of unit expected length.
std::vector<float> query_vector(std::size_t d) {
  return velq::bench::random_floats(d, 1.0f / std::sqrt(static_cast<float>(d)));
}

// Aligned as the quantizer keeps its matrices.
using Matrix = std::vector<float, velq::HugePageAllocator<float>>;

Matrix transposed(const Matrix& m, std::size_t d) {
  Matrix t(m.size());
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) t[j * d + i] = m[i * d + j];
  }
  return t;
}

// One d×d product of a query through one form, as a search runs it.
void query_product(benchmark::State& state, const velq::linalg::BlockedProductKernels& k) {
  const auto d = static_cast<std::size_t>(state.range(0));
  const std::vector<float> values = velq::bench::random_floats(d * d, 1.0f);
  const Matrix m(values.begin(), values.end());
  const Matrix mt = transposed(m, d);
  const std::vector<float> x = query_vector(d);
  std::vector<float> out(d);
  for (auto _ : state) {
    k.query_product(x.data(), m.data(), mt, d, 0, d, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(k.name);
}

void BM_query_product_portable(benchmark::State& state) {
  query_product(state, velq::linalg::portable_blocked_kernels());
}
#if VELQ_X86
void BM_query_product_avx2(benchmark::State& state) {
  if (velq::bench::skip_without_avx2(state, true)) return;
  query_product(state, velq::linalg::avx2_blocked_kernels());
}
void BM_query_product_avx512(benchmark::State& state) {
  if (velq::bench::skip_without_avx512(state, true)) return;
  query_product(state, velq::linalg::avx512_blocked_kernels());
}
#endif

ProdQuantizer make_quantizer(const benchmark::State& state) {
  return ProdQuantizer::new_dense(static_cast<std::uint64_t>(state.range(0)), 4, 42);
}

// Both products of a query (rotation and projection), as the active forms
// run them.
void BM_prepare_products(benchmark::State& state) {
  const ProdQuantizer q = make_quantizer(state);
  const std::vector<float> x = query_vector(q.d());
  for (auto _ : state) benchmark::DoNotOptimize(q.prepare_ip_query_lite(x));
}

// The products and the tables the scan reads.
void BM_prepare_query(benchmark::State& state) {
  const ProdQuantizer q = make_quantizer(state);
  const std::vector<float> x = query_vector(q.d());
  for (auto _ : state) benchmark::DoNotOptimize(q.prepare_ip_query(x));
}

// A whole search of a database holding `records` records (0 or 1).
void engine_search(benchmark::State& state, std::size_t records) {
  static std::atomic<int> serial{0};
  const auto d = static_cast<std::size_t>(state.range(0));
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("velq_query_prep_" + std::to_string(::getpid()) + "_" +
                                     std::to_string(serial++));
  {
    velq::EngineOptions options;
    options.storage_uri = options.local_dir = dir.string();
    options.d = d;
    auto engine = velq::VelqorEngine::open_with_options(options);
    if (!engine.ok()) return state.SkipWithError(engine.error().message().c_str());
    const std::vector<float> v = query_vector(d);
    const std::vector<double> row(v.begin(), v.end());
    for (std::size_t r = 0; r < records; ++r) {
      if (!engine->insert_with_document(std::to_string(r), row, {}, std::nullopt).ok()) {
        return state.SkipWithError("insert failed");
      }
    }
    const std::vector<float> qf = query_vector(d);
    const std::vector<double> query(qf.begin(), qf.end());
    for (auto _ : state) {
      benchmark::DoNotOptimize(
          engine->search_with_filter_and_ann(query, 10, nullptr, std::nullopt, std::nullopt));
    }
  }
  std::filesystem::remove_all(dir);
}

void BM_search_one_record(benchmark::State& state) { engine_search(state, 1); }
void BM_search_empty(benchmark::State& state) { engine_search(state, 0); }

void dims(benchmark::internal::Benchmark* b) {
  b->ArgName("d");
  for (std::int64_t d : {384, 768, 1536}) b->Arg(d);
}

BENCHMARK(BM_query_product_portable)->Apply(dims);
#if VELQ_X86
BENCHMARK(BM_query_product_avx2)->Apply(dims);
BENCHMARK(BM_query_product_avx512)->Apply(dims);
#endif
BENCHMARK(BM_prepare_products)->Apply(dims);
BENCHMARK(BM_prepare_query)->Apply(dims);
BENCHMARK(BM_search_one_record)->Apply(dims);
BENCHMARK(BM_search_empty)->Apply(dims);

}  // namespace

int main(int argc, char** argv) { return velq::bench::run_kernel_benchmarks(argc, argv); }
