#include "linalg/gram_schmidt.h"

#include <algorithm>
#include <cmath>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"

namespace velq::linalg {

namespace {

struct DotsTag;

// Removes the unit row q from rows [begin, end) of the d×d block at `rows`:
// dot = <q, row> for every row first (independent sums), then row -= q · dot.
void project_out(const float* q, float* rows, std::size_t d, std::size_t begin, std::size_t end) {
  const std::span<float> dots = thread_scratch<DotsTag>(end - begin);
  row_dots(rows + begin * d, end - begin, d, d, q, dots.data());
  for (std::size_t j = begin; j < end; ++j) {
    float* r = rows + j * d;
    const float dot = dots[j - begin];
    for (std::size_t k = 0; k < d; ++k) r[k] -= q[k] * dot;
  }
}

}  // namespace

std::vector<float> orthonormal_columns(std::vector<float> rows, std::size_t d) {
  assert_eq(rows.size(), square_size(d), "Gram-Schmidt input size");
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
    const std::size_t grain = std::max<std::size_t>(8, (std::size_t{1} << 16) / (d + 1));
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
