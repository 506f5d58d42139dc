#include "linalg/gram_schmidt.h"

#include <algorithm>
#include <cmath>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"

namespace velq::linalg {

namespace {

// Unit rows finalised together before they are removed from the later rows.
// Each later row still receives them one at a time and in row order, so the
// values are those of the plain row-by-row loop; the panel only lets a chunk
// of later rows take several projections while it is in cache.
constexpr std::size_t kPanel = 8;

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

void normalise(float* q, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t k = 0; k < d; ++k) sum += q[k] * q[k];
  const float norm = std::sqrt(sum);
  if (norm > 1e-10f) {
    for (std::size_t k = 0; k < d; ++k) q[k] /= norm;
  }
}

}  // namespace

std::vector<float> orthonormal_columns(std::vector<float> rows, std::size_t d) {
  assert_eq(rows.size(), square_size(d), "Gram-Schmidt input size");
  float* a = rows.data();
  // Later rows in chunks small enough to stay in cache while a whole panel
  // is applied to them.
  const std::size_t chunk = std::max<std::size_t>(8, (std::size_t{1} << 15) / (d + 1));
  for (std::size_t first = 0; first < d; first += kPanel) {
    const std::size_t last = std::min(first + kPanel, d);
    for (std::size_t i = first; i < last; ++i) {
      normalise(a + i * d, d);
      project_out(a + i * d, a, d, i + 1, last);
    }
    // Each later row is updated on its own, so splitting them over the pool
    // gives the same values as one thread.
    parallel_for(d - last, chunk, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = first; i < last; ++i) {
        project_out(a + i * d, a, d, last + begin, last + end);
      }
    });
  }
  std::vector<float> r(rows.size());
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) r[i * d + j] = a[j * d + i];
  }
  return r;
}

}  // namespace velq::linalg
