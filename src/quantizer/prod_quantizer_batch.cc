// Quantizing in blocks: with a dense rotation, a block of vectors is rotated,
// decoded and projected as three matrix products of the whole block, which
// read each matrix once per block instead of once per vector. Each product
// keeps every output's sequential sum (linalg::mat_t_vecs), so a block gives
// the codes of one vector at a time.
//
// The residual is decoded (Rᵀ·levels) and projected as the codec defines it.
// Projecting R·x − levels with a precomputed S·Rᵀ instead would save one
// product, but it equals the codec's residual only when RᵀR = I, and the
// stored rotation (Gram-Schmidt in f32) misses that by up to 4e-5 at d = 384
// and 4e-4 at d = 1536: the codes would change.
#include <algorithm>
#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"
#include "quantizer/nearest_level.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

namespace {

struct RotatedBlockTag;
struct LevelsBlockTag;
struct ApproxBlockTag;

}  // namespace

void ProdQuantizer::quantize_dense_block(const float* x, std::size_t count,
                                         EncodedVector* out) const {
  const std::span<float> rotated = thread_scratch<RotatedBlockTag>(count * n_);
  // R·x is the transposed product with Rᵀ: each output's terms in column order.
  linalg::mat_t_vecs(rotation_t_, d_, x, count, rotated.data());
  for (std::size_t v = 0; v < count; ++v) {
    out[v].mse_indices.resize(n_);
    nearest_levels(mse_.centroids, rotated.subspan(v * n_, n_), out[v].mse_indices);
  }
  if (fast_mode_) {
    for (std::size_t v = 0; v < count; ++v) out[v].qjl_bits.assign(qjl_len(), 0);
    return;
  }
  // Decoding is the transpose's product with the levels.
  const std::span<float> levels = thread_scratch<LevelsBlockTag>(count * n_);
  for (std::size_t v = 0; v < count; ++v) {
    for (std::size_t i = 0; i < n_; ++i) levels[v * n_ + i] = mse_.centroids[out[v].mse_indices[i]];
  }
  const std::span<float> approx = thread_scratch<ApproxBlockTag>(count * d_);
  linalg::mat_t_vecs(*mse_.rotation_matrix, d_, levels.data(), count, approx.data());
  add_sketch(x, approx.data(), count, out);
}

void ProdQuantizer::quantize_rows(std::span<const float> rows, std::span<EncodedVector> out) const {
  if (d_ == 0 || rows.size() != out.size() * d_) {
    panic("quantize of " + std::to_string(rows.size()) + " values into " +
          std::to_string(out.size()) + " codes of " + std::to_string(d_));
  }
  if (rotation_t_.empty()) {
    for (std::size_t v = 0; v < out.size(); ++v) out[v] = quantize_srht(rows.subspan(v * d_, d_));
    return;
  }
  for (std::size_t first = 0; first < out.size(); first += kBatchBlockVectors) {
    const std::size_t take = std::min(kBatchBlockVectors, out.size() - first);
    quantize_dense_block(rows.data() + first * d_, take, out.data() + first);
  }
}

std::vector<EncodedVector> ProdQuantizer::quantize_batch(std::span<const float> rows) const {
  if (d_ == 0 || rows.size() % d_ != 0) {
    panic("quantize batch of " + std::to_string(rows.size()) + " values is not whole vectors of " +
          std::to_string(d_));
  }
  const std::size_t count = rows.size() / d_;
  std::vector<EncodedVector> out(count);
  // SRHT vectors are quantized one at a time: smaller tasks balance better.
  const std::size_t block = rotation_t_.empty() ? 16 : kBatchBlockVectors;
  parallel_for_each((count + block - 1) / block, 1, [&](std::size_t b) {
    const std::size_t first = b * block;
    const std::size_t take = std::min(block, count - first);
    quantize_rows(rows.subspan(first * d_, take * d_), std::span(out).subspan(first, take));
  });
  return out;
}

}  // namespace velq
