#include "quantizer/mse_quantizer.h"

#include <algorithm>
#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "linalg/dense.h"
#include "linalg/gram_schmidt.h"
#include "linalg/hadamard.h"
#include "quantizer/codebook.h"
#include "quantizer/nearest_level.h"
#include "quantizer/rng.h"

namespace velq {

namespace {

// Indices are u16, so a stage has at most 2^16 levels.
constexpr std::uint64_t kMaxBits = 16;

void refuse_oversized_codebook(std::uint64_t b) {
  if (b > kMaxBits) panic("codebook too large for u16 indices; reduce bits");
}

std::vector<float> codebook_f32(std::uint64_t b, std::uint64_t dim) {
  const std::vector<double> levels = lloyd_max(static_cast<unsigned>(b), dim);
  return std::vector<float>(levels.begin(), levels.end());
}

// Scratch of the write and decode paths (the quantizer itself is shared
// read-only between threads).
struct RotatedTag;
struct LevelsTag;

}  // namespace

MseQuantizer MseQuantizer::new_srht(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  refuse_oversized_codebook(b);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(seed);
  MseQuantizer q;
  q.d = d;
  q.n = linalg::npow2(d);
  q.b = b;
  q.rotation_signs = draw_signs(rng, q.n);
  // The levels fit the coordinates of the padded rotation, dimension n.
  q.centroids = codebook_f32(b, q.n);
  return q;
}

MseQuantizer MseQuantizer::new_dense(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  refuse_oversized_codebook(b);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(seed);
  MseQuantizer q;
  q.d = d;
  q.n = d;
  q.b = b;
  q.rotation_matrix = linalg::orthonormal_columns(draw_gaussians(rng, linalg::square_size(d)), d);
  q.centroids = codebook_f32(b, d);
  return q;
}

void MseQuantizer::apply_rotation(std::span<const float> x, std::span<float> out) const {
  rotate(x, out, linalg::mat_vec);
}

void MseQuantizer::rotate_query(std::span<const float> x, std::span<float> out,
                                std::span<const float> transpose) const {
  rotate(x, out,
         [transpose](std::span<const float> m, std::size_t size, std::span<const float> v,
                     std::span<float> o) { linalg::mat_vec_blocked(m, transpose, size, v, o); });
}

void MseQuantizer::rotate_queries(std::span<const float> xs, std::span<float> out) const {
  const std::size_t count = xs.size() / d;
  assert_eq(xs.size(), count * d, "query rows length");
  assert_eq(out.size(), count * n, "rotated rows length");
  if (rotation_matrix) {
    linalg::mat_vecs_blocked(*rotation_matrix, d, xs.data(), count, out.data());
    return;
  }
  for (std::size_t v = 0; v < count; ++v) {
    rotate_query(xs.subspan(v * d, d), out.subspan(v * n, n), {});
  }
}

template <class DenseProduct>
void MseQuantizer::rotate(std::span<const float> x, std::span<float> out,
                          DenseProduct dense_product) const {
  assert_eq(out.size(), n, "rotation output length");
  if (rotation_matrix) {
    dense_product(*rotation_matrix, d, x, out);
  } else {
    linalg::srht(x, rotation_signs, out);
  }
}

void MseQuantizer::quantize_into(std::span<const float> x, std::span<std::uint16_t> out) const {
  assert_eq(x.size(), d, "quantize input length");
  assert_eq(out.size(), n, "quantize output length");
  const std::span<float> y = thread_scratch<RotatedTag>(n);
  apply_rotation(x, y);
  nearest_levels(centroids, y, out);
}

std::vector<std::uint16_t> MseQuantizer::quantize(std::span<const float> x) const {
  std::vector<std::uint16_t> out(n);
  quantize_into(x, out);
  return out;
}

void MseQuantizer::dequantize_into(std::span<const std::uint16_t> indices,
                                   std::span<double> out) const {
  assert_eq(indices.size(), n, "dequantize input length");
  assert_eq(out.size(), d, "dequantize output length");
  const std::span<float> y = thread_scratch<LevelsTag>(n);
  levels_into(indices, y);
  const std::span<float> x = thread_scratch<RotatedTag>(d);
  if (rotation_matrix) {
    linalg::mat_t_vec(*rotation_matrix, d, y, x);
  } else {
    linalg::inverse_srht(y, rotation_signs, x, d);
  }
  std::copy(x.begin(), x.end(), out.begin());
}

void MseQuantizer::levels_into(std::span<const std::uint16_t> indices, std::span<float> out) const {
  for (std::size_t i = 0; i < n; ++i) {
    if (indices[i] >= centroids.size()) {
      panic("index out of bounds: the codebook has " + std::to_string(centroids.size()) +
            " levels but the index is " + std::to_string(indices[i]));
    }
    out[i] = centroids[indices[i]];
  }
}

std::vector<double> MseQuantizer::dequantize(std::span<const std::uint16_t> indices) const {
  std::vector<double> out(d);
  dequantize_into(indices, out);
  return out;
}

}  // namespace velq
