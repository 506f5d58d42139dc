#include "linalg/gram_schmidt.h"

#include <cmath>

#include "common/panic.h"
#include "common/worker_pool.h"

namespace velq::linalg {

namespace {

// Later rows whose projections are computed together; their dot products are
// independent sums, which hides the add latency without reordering any sum.
constexpr std::size_t kRowBlock = 4;

// Removes the unit row q from rows [begin, end) of the d×d block at `rows`.
void project_out(const float* q, float* rows, std::size_t d, std::size_t begin, std::size_t end) {
  std::size_t j = begin;
  for (; j + kRowBlock <= end; j += kRowBlock) {
    float* r[kRowBlock];
    float dot[kRowBlock] = {};
    for (std::size_t b = 0; b < kRowBlock; ++b) r[b] = rows + (j + b) * d;
    for (std::size_t k = 0; k < d; ++k) {
      for (std::size_t b = 0; b < kRowBlock; ++b) dot[b] += q[k] * r[b][k];
    }
    for (std::size_t b = 0; b < kRowBlock; ++b) {
      for (std::size_t k = 0; k < d; ++k) r[b][k] -= q[k] * dot[b];
    }
  }
  for (; j < end; ++j) {
    float* r = rows + j * d;
    float dot = 0.0f;
    for (std::size_t k = 0; k < d; ++k) dot += q[k] * r[k];
    for (std::size_t k = 0; k < d; ++k) r[k] -= q[k] * dot;
  }
}

}  // namespace

std::vector<float> orthonormal_columns(std::vector<float> rows, std::size_t d) {
  assert_eq(rows.size(), static_cast<unsigned long long>(d) * d, "Gram-Schmidt input size");
  float* a = rows.data();
  for (std::size_t i = 0; i < d; ++i) {
    float* q = a + i * d;
    float sum = 0.0f;
    for (std::size_t k = 0; k < d; ++k) sum += q[k] * q[k];
    const float norm = std::sqrt(sum);
    if (norm > 1e-10f) {
      for (std::size_t k = 0; k < d; ++k) q[k] /= norm;
    }
    // Each later row is updated on its own, so splitting them over the pool
    // gives the same values as one thread.
    const std::size_t later = d - i - 1;
    const std::size_t grain = std::max<std::size_t>(kRowBlock, (std::size_t{1} << 16) / (d + 1));
    parallel_for(later, grain, [&](std::size_t begin, std::size_t end) {
      project_out(q, a, d, i + 1 + begin, i + 1 + end);
    });
  }
  std::vector<float> r(rows.size());
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) r[i * d + j] = a[j * d + i];
  }
  return r;
}

}  // namespace velq::linalg
