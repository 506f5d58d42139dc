#include "linalg/dense.h"

#include <algorithm>

#include "common/cpu_features.h"
#include "common/worker_pool.h"
#include "linalg/blocked_product.h"
#include "common/panic.h"

namespace velq::linalg {

namespace {

// Four rows at a time so the vector's coordinates are read once per four
// outputs; every output is still its own sequential sum.
void row_products(const float* x, const float* m, std::size_t rows, std::size_t cols,
                  float* out) {
  constexpr std::size_t kRows = 4;
  for (std::size_t r0 = 0; r0 < rows; r0 += kRows) {
    const std::size_t take = rows - r0 < kRows ? rows - r0 : kRows;
    float acc[kRows] = {};
    for (std::size_t j = 0; j < cols; ++j) {
      for (std::size_t r = 0; r < take; ++r) acc[r] += m[(r0 + r) * cols + j] * x[j];
    }
    for (std::size_t r = 0; r < take; ++r) out[r0 + r] = acc[r];
  }
}

// Rows computed together: independent sums hide the latency of each add.
constexpr std::size_t kRowBlock = 8;

}  // namespace

const BlockedProductKernels& portable_blocked_kernels() {
  static constexpr BlockedProductKernels kPortable = {
      .name = "portable",
      .row_products = row_products,
      .query_product = query_product_from_rows<row_products>};
  return kPortable;
}

const BlockedProductKernels& active_blocked_kernels() {
  static const BlockedProductKernels& chosen =
      widest_kernels(portable_blocked_kernels, VELQ_X86_KERNELS(avx2_blocked_kernels),
                     VELQ_X86_KERNELS(avx512_blocked_kernels));
  return chosen;
}

std::size_t square_size(std::uint64_t d) {
  std::size_t size = 0;
  if (__builtin_mul_overflow(d, d, &size)) panic("dimension too large for a dense matrix");
  return size;
}

void check_dense_shapes(std::span<const float> m, std::size_t d, std::size_t out_len) {
  assert_eq(m.size(), square_size(d), "dense matrix size");
  if (out_len < d) panic_not_equal("dense product output length", out_len, d);
}

void check_dense_input(std::size_t in_len, std::size_t d) {
  if (in_len < d) panic_not_equal("dense transpose input length", in_len, d);
}

void mat_vec(std::span<const float> m, std::size_t d, std::span<const float> x,
             std::span<float> out) {
  check_dense_shapes(m, d, out.size());
  row_dots(m.data(), d, d, std::min(x.size(), d), x.data(), out.data());
}

void mat_vec_blocked(std::span<const float> m, std::span<const float> mt, std::size_t d,
                     std::span<const float> x, std::span<float> out) {
  check_dense_shapes(m, d, out.size());
  if (!mt.empty()) assert_eq(mt.size(), m.size(), "dense transpose size");
  assert_eq(x.size(), d, "dense product input length");
  const BlockedProductKernels& kernels = active_blocked_kernels();
  const auto outputs = [&](std::size_t first, std::size_t last) {
    kernels.query_product(x.data(), m.data(), mt, d, first, last, out.data());
  };
  if (d < kSplitProductMinDim) {
    outputs(0, d);
    return;
  }
  // Each output is whole on one thread, in the order fixed by d alone.
  parallel_for(d, kSplitProductRows, outputs);
}

void mat_vecs_blocked(std::span<const float> m, std::size_t d, const float* xs, std::size_t count,
                      float* out) {
  check_dense_shapes(m, d, d);
  const BlockedProductKernels& kernels = active_blocked_kernels();
  // Rows last to first, in groups: rows are independent, and the transposed
  // product reads from the first row on, so the rows it needs first are the
  // ones still cached. A group serves every vector while it is cached, so
  // the matrix streams from memory once per call, not once per vector.
  const auto rows = [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t kGroup = 32;
    while (end > begin) {
      const std::size_t first = end - begin > kGroup ? end - kGroup : begin;
      for (std::size_t v = 0; v < count; ++v) {
        kernels.row_products(xs + v * d, m.data() + first * d, end - first, d, out + v * d + first);
      }
      end = first;
    }
  };
  if (d < kSplitProductMinDim) {
    rows(0, d);
    return;
  }
  // Each output is one row's sum, whole on one thread, in the order fixed by
  // d alone: the split changes who computes a row, never its bits.
  parallel_for(d, kSplitProductRows, rows);
}

void row_dots(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
              const float* x, float* out) {
  active_dense_kernels().row_dots(m, rows, stride, cols, x, out);
}

void row_dots_portable(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
                       const float* x, float* out) {
  std::size_t i = 0;
  for (; i + kRowBlock <= rows; i += kRowBlock) {
    float acc[kRowBlock] = {};
    for (std::size_t j = 0; j < cols; ++j) {
      const float xj = x[j];
      for (std::size_t r = 0; r < kRowBlock; ++r) acc[r] += m[(i + r) * stride + j] * xj;
    }
    for (std::size_t r = 0; r < kRowBlock; ++r) out[i + r] = acc[r];
  }
  for (; i < rows; ++i) {
    float acc = 0.0f;
    for (std::size_t j = 0; j < cols; ++j) acc += m[i * stride + j] * x[j];
    out[i] = acc;
  }
}

void mat_t_vec(std::span<const float> m, std::size_t d, std::span<const float> y,
               std::span<float> out) {
  active_dense_kernels().mat_t_vec(m, d, y, out);
}

void mat_t_vec_portable(std::span<const float> m, std::size_t d, std::span<const float> y,
                        std::span<float> out) {
  check_dense_shapes(m, d, out.size());
  check_dense_input(y.size(), d);
  std::fill_n(out.begin(), d, 0.0f);
  accumulate_rows(m.data(), d, y.data(), 0, out.data());
}

void mat_t_vecs(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                float* out) {
  active_dense_kernels().mat_t_vecs(m, d, y, count, out);
}

void mat_t_vecs_portable(std::span<const float> m, std::size_t d, const float* y,
                         std::size_t count, float* out) {
  check_dense_shapes(m, d, d);
  std::fill_n(out, count * d, 0.0f);
  // A few vectors per sweep, so each matrix row is read from memory once
  // for all of them.
  constexpr std::size_t kVectors = 4;
  for (std::size_t first = 0; first < count; first += kVectors) {
    const std::size_t take = std::min(kVectors, count - first);
    for (std::size_t i = 0; i < d; ++i) {
      const float* row = m.data() + i * d;
      for (std::size_t v = first; v < first + take; ++v) {
        const float yi = y[v * d + i];
        float* o = out + v * d;
        for (std::size_t j = 0; j < d; ++j) o[j] += row[j] * yi;
      }
    }
  }
}

void accumulate_rows(const float* m, std::size_t d, const float* y, std::size_t first_row,
                     float* out) {
  // Row after row, so each out[j] accumulates in index order of i.
  for (std::size_t i = first_row; i < d; ++i) {
    const float yi = y[i];
    const float* row = m + i * d;
    for (std::size_t j = 0; j < d; ++j) out[j] += row[j] * yi;
  }
}

const DenseKernels& portable_dense_kernels() {
  static constexpr DenseKernels kPortable = {.name = "portable",
                                             .row_dots = row_dots_portable,
                                             .mat_t_vec = mat_t_vec_portable,
                                             .mat_t_vecs = mat_t_vecs_portable};
  return kPortable;
}

const DenseKernels& active_dense_kernels() {
  static const DenseKernels& chosen =
      widest_kernels(portable_dense_kernels, VELQ_X86_KERNELS(avx2_dense_kernels),
                     VELQ_X86_KERNELS(avx512_dense_kernels));
  return chosen;
}

}  // namespace velq::linalg
