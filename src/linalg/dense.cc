#include "linalg/dense.h"

#include <algorithm>

#include "common/panic.h"

namespace velq::linalg {

namespace {

// Rows computed together: independent sums hide the latency of each add.
constexpr std::size_t kRowBlock = 8;

void check_shapes(std::span<const float> m, std::size_t d, std::size_t out) {
  assert_eq(m.size(), static_cast<unsigned long long>(d) * d, "dense matrix size");
  if (out < d) panic_not_equal("dense product output length", out, d);
}

}  // namespace

void mat_vec(std::span<const float> m, std::size_t d, std::span<const float> x,
             std::span<float> out) {
  check_shapes(m, d, out.size());
  const std::size_t cols = std::min(x.size(), d);
  const float* a = m.data();
  std::size_t i = 0;
  for (; i + kRowBlock <= d; i += kRowBlock) {
    float acc[kRowBlock] = {};
    for (std::size_t j = 0; j < cols; ++j) {
      const float xj = x[j];
      for (std::size_t r = 0; r < kRowBlock; ++r) acc[r] += a[(i + r) * d + j] * xj;
    }
    for (std::size_t r = 0; r < kRowBlock; ++r) out[i + r] = acc[r];
  }
  for (; i < d; ++i) {
    float acc = 0.0f;
    for (std::size_t j = 0; j < cols; ++j) acc += a[i * d + j] * x[j];
    out[i] = acc;
  }
}

void mat_t_vec(std::span<const float> m, std::size_t d, std::span<const float> y,
               std::span<float> out) {
  check_shapes(m, d, out.size());
  if (y.size() < d) panic_not_equal("dense transpose input length", y.size(), d);
  std::fill_n(out.begin(), d, 0.0f);
  const float* a = m.data();
  // Row after row, so each out[j] accumulates in index order of i.
  for (std::size_t i = 0; i < d; ++i) {
    const float yi = y[i];
    const float* row = a + i * d;
    for (std::size_t j = 0; j < d; ++j) out[j] += row[j] * yi;
  }
}

}  // namespace velq::linalg
