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
//
// The decoded vector's squared length, which a writer keeps beside each
// slot, reuses the decoding product: only the sketch's transposed product is
// added, in place of the two products of decoding the stored code again.
#include <algorithm>
#include <string>

#include "common/cache_size.h"
#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"
#include "quantizer/nearest_level.h"
#include "quantizer/prod_quantizer.h"
#include "quantizer/sign_bits.h"

namespace velq {

namespace {

struct RotatedBlockTag;
struct LevelsBlockTag;
struct ApproxBlockTag;
struct SignsBlockTag;
struct SketchBlockTag;
struct DecodedTag;
struct ViewsBlockTag;

// Rows of the matrix the transposed product packs and works through at a
// time (linalg/transposed_tiles.h).
constexpr std::size_t kStripRows = 64;

double sum_of_squares(std::span<const double> x) {
  double sum = 0.0;
  for (const double v : x) sum += v * v;
  return sum;
}

// The codes as their slots will hold them (gamma rounded to f32), in a
// buffer borrowed until the next call on this thread.
std::span<const CodeView> stored_views(std::span<const EncodedVector> codes) {
  const std::span<CodeView> views = thread_scratch<ViewsBlockTag, CodeView>(codes.size());
  for (std::size_t v = 0; v < codes.size(); ++v) {
    views[v] = {codes[v].mse_indices, codes[v].qjl_bits, static_cast<float>(codes[v].gamma)};
  }
  return views;
}

}  // namespace

std::size_t ProdQuantizer::block_rows_for(std::size_t d, std::size_t cache_bytes) {
  constexpr std::size_t kStep = 16, kMost = 256;
  if (d == 0) return kStep;
  const std::size_t strip = kStripRows * d * sizeof(float);
  const std::size_t per_row = 2 * d * sizeof(float);
  const std::size_t fit = cache_bytes > strip ? (cache_bytes - strip) / per_row : 0;
  return std::clamp(fit / kStep * kStep, kStep, kMost);
}

std::size_t ProdQuantizer::batch_block_rows() const {
  if (rotation_t_.empty()) return 64;
  return block_rows_for(d_, private_cache_bytes());
}

void ProdQuantizer::quantize_dense_block(const float* x, std::size_t count, EncodedVector* out,
                                         double* squares) const {
  const std::span<float> rotated = thread_scratch<RotatedBlockTag>(count * n_);
  // R·x is the transposed product with Rᵀ: each output's terms in column order.
  linalg::mat_t_vecs(rotation_t_, d_, x, count, rotated.data());
  for (std::size_t v = 0; v < count; ++v) {
    out[v].mse_indices.resize(n_);
    nearest_levels(mse_.centroids, rotated.subspan(v * n_, n_), out[v].mse_indices);
  }
  if (fast_mode_) {
    for (std::size_t v = 0; v < count; ++v) out[v].qjl_bits.assign(qjl_len(), 0);
    if (squares == nullptr) return;
  }
  // Decoding is the transpose's product with the levels.
  const std::span<float> levels = thread_scratch<LevelsBlockTag>(count * n_);
  for (std::size_t v = 0; v < count; ++v) {
    for (std::size_t i = 0; i < n_; ++i) levels[v * n_ + i] = mse_.centroids[out[v].mse_indices[i]];
  }
  const std::span<float> approx = thread_scratch<ApproxBlockTag>(count * d_);
  linalg::mat_t_vecs(*mse_.rotation_matrix, d_, levels.data(), count, approx.data());
  if (!fast_mode_) add_sketch(x, approx.data(), count, out);
  if (squares != nullptr) dense_decoded_squares(approx.data(), stored_views({out, count}), squares);
}

bool ProdQuantizer::dense_decoding() const {
  return mse_.is_dense() && mse_.n == d_ && (fast_mode_ || (qjl_.is_dense() && qjl_.n == d_));
}

void ProdQuantizer::dense_decoded_squares(const float* mse_part, std::span<const CodeView> codes,
                                          double* squares) const {
  // As dequantize_codes_into forms each coordinate: the f32 decoding of the
  // levels, plus the sketch's f32 product scaled, added in f64.
  const std::size_t count = codes.size();
  const float* sketch = nullptr;
  if (!fast_mode_) {
    const std::span<float> signs = thread_scratch<SignsBlockTag>(count * d_);
    for (std::size_t v = 0; v < count; ++v) expand_signs(codes[v].qjl_bits, signs.subspan(v * d_, d_));
    const std::span<float> product = thread_scratch<SketchBlockTag>(count * d_);
    linalg::mat_t_vecs(*qjl_.projection_matrix, d_, signs.data(), count, product.data());
    sketch = product.data();
  }
  const float factor = fast_mode_ ? 0.0f : qjl_.dense_factor();
  for (std::size_t v = 0; v < count; ++v) {
    const double c = static_cast<double>(static_cast<float>(codes[v].gamma) *
                                         qjl_reconstruction_scale());
    double sum = 0.0;
    for (std::size_t j = 0; j < d_; ++j) {
      double x = static_cast<double>(mse_part[v * d_ + j]);
      if (sketch != nullptr) x += static_cast<double>(sketch[v * d_ + j] * factor) * c;
      sum += x * x;
    }
    squares[v] = sum;
  }
}

void ProdQuantizer::decoded_squares_of(std::span<const CodeView> codes, std::span<double> squares,
                                       std::size_t block) const {
  assert_eq(squares.size(), codes.size(), "decoded squares");
  if (!dense_decoding()) {
    const std::span<double> decoded = thread_scratch<DecodedTag, double>(d_);
    for (std::size_t v = 0; v < codes.size(); ++v) {
      dequantize_into(codes[v].mse_indices, codes[v].qjl_bits, codes[v].gamma, decoded);
      squares[v] = sum_of_squares(decoded);
    }
    return;
  }
  // The decoding's first product a block at a time, as quantize_dense_block
  // forms it; dense_decoded_squares adds the sketch's.
  if (block == 0) block = batch_block_rows();
  const std::span<float> levels = thread_scratch<LevelsBlockTag>(std::min(block, codes.size()) * n_);
  const std::span<float> approx = thread_scratch<ApproxBlockTag>(std::min(block, codes.size()) * d_);
  for (std::size_t first = 0; first < codes.size(); first += block) {
    const std::size_t take = std::min(block, codes.size() - first);
    for (std::size_t v = 0; v < take; ++v) {
      assert_eq(codes[first + v].mse_indices.size(), n_, "decoded code's index count");
      if (!fast_mode_) assert_eq(codes[first + v].qjl_bits.size(), qjl_len(), "QJL sign byte count");
      mse_.levels_into(codes[first + v].mse_indices, levels.subspan(v * n_, n_));
    }
    linalg::mat_t_vecs(*mse_.rotation_matrix, d_, levels.data(), take, approx.data());
    dense_decoded_squares(approx.data(), codes.subspan(first, take), squares.data() + first);
  }
}

void ProdQuantizer::quantize_rows(std::span<const float> rows, std::span<EncodedVector> out,
                                  std::span<double> decoded_squares, std::size_t block) const {
  if (d_ == 0 || rows.size() != out.size() * d_ ||
      (!decoded_squares.empty() && decoded_squares.size() != out.size())) {
    panic("quantize of " + std::to_string(rows.size()) + " values into " +
          std::to_string(out.size()) + " codes of " + std::to_string(d_) + " with " +
          std::to_string(decoded_squares.size()) + " squares");
  }
  // The decoding's products are the code-making ones only when both stages
  // are dense square matrices.
  const bool shared_decoding = !rotation_t_.empty() && dense_decoding();
  const bool want_squares = !decoded_squares.empty();
  if (rotation_t_.empty()) {
    for (std::size_t v = 0; v < out.size(); ++v) out[v] = quantize_srht(rows.subspan(v * d_, d_));
  } else {
    if (block == 0) block = batch_block_rows();
    for (std::size_t first = 0; first < out.size(); first += block) {
      const std::size_t take = std::min(block, out.size() - first);
      quantize_dense_block(rows.data() + first * d_, take, out.data() + first,
                           want_squares && shared_decoding ? decoded_squares.data() + first : nullptr);
    }
  }
  if (!want_squares || shared_decoding) return;
  decoded_squares_of(stored_views(out), decoded_squares);
}

std::vector<EncodedVector> ProdQuantizer::quantize_batch(std::span<const float> rows) const {
  if (d_ == 0 || rows.size() % d_ != 0) {
    panic("quantize batch of " + std::to_string(rows.size()) + " values is not whole vectors of " +
          std::to_string(d_));
  }
  const std::size_t count = rows.size() / d_;
  std::vector<EncodedVector> out(count);
  // SRHT vectors are quantized one at a time: smaller tasks balance better.
  const std::size_t block = rotation_t_.empty() ? 16 : batch_block_rows();
  parallel_for_each((count + block - 1) / block, 1, [&](std::size_t b) {
    const std::size_t first = b * block;
    const std::size_t take = std::min(block, count - first);
    quantize_rows(rows.subspan(first * d_, take * d_), std::span(out).subspan(first, take));
  });
  return out;
}

}  // namespace velq
