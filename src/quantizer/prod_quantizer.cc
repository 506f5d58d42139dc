// Construction, encoding, decoding and packing of the product quantizer.
#include "quantizer/prod_quantizer.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "linalg/dense.h"
#include "quantizer/packing.h"
#include "quantizer/sign_bits.h"

namespace velq {

namespace {

// Per-thread buffers of quantize and dequantize (one per use).
struct ApproxTag;
struct ApproxF32Tag;
struct ResidualTag;
struct ProjectedTag;
struct CorrectionTag;

// The QJL stage is seeded apart from the MSE stage so their streams are unrelated.
constexpr std::uint64_t kQjlSeedMask = 0xDEADBEEF;

void require_two_bits(std::uint64_t b) {
  if (b < 2) panic("ProdQuantizer requires at least b=2");
}

ProdQuantizer assemble(std::uint64_t d, std::uint64_t b, MseQuantizer mse, QjlQuantizer qjl,
                       bool fast) {
  const std::uint64_t n = mse.n;
  return ProdQuantizer::from_parts(d, n, b, std::move(mse), std::move(qjl), fast);
}

// The transpose of a d×d row-major matrix; empty when there is none. Parts
// assembled unchecked may be inconsistent (the decoders refuse them after
// from_parts): only a matrix of the shape its stage claims is transposed.
template <class Matrix>
Matrix square_transpose(const std::optional<std::vector<float>>& m, std::size_t d) {
  Matrix t;
  if (!m || d == 0 || m->size() / d != d || m->size() % d != 0) return t;
  t.resize(m->size());
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) t[j * d + i] = (*m)[i * d + j];
  }
  return t;
}

}  // namespace

ProdQuantizer ProdQuantizer::from_parts(std::uint64_t d, std::uint64_t n, std::uint64_t b,
                                        MseQuantizer mse_quantizer, QjlQuantizer qjl_quantizer,
                                        bool fast_mode) {
  ProdQuantizer q;
  q.d_ = d;
  q.n_ = n;
  q.b_ = b;
  q.mse_ = std::move(mse_quantizer);
  q.qjl_ = std::move(qjl_quantizer);
  q.fast_mode_ = fast_mode;
  q.rotation_t_ = square_transpose<SquareTranspose>(q.mse_.rotation_matrix, q.mse_.d);
  // Fast mode never projects.
  if (!fast_mode) {
    q.projection_t_ = square_transpose<SquareTranspose>(q.qjl_.projection_matrix, q.qjl_.d);
  }
  return q;
}

ProdQuantizer ProdQuantizer::new_dense(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  require_two_bits(b);
  MseQuantizer mse = MseQuantizer::new_dense(d, b - 1, seed);
  return assemble(d, b, std::move(mse), QjlQuantizer::new_dense(d, seed ^ kQjlSeedMask), false);
}

ProdQuantizer ProdQuantizer::new_dense_fast(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  require_two_bits(b);
  MseQuantizer mse = MseQuantizer::new_dense(d, b, seed);
  // Built although fast mode never reads it: the stored form carries it.
  return assemble(d, b, std::move(mse), QjlQuantizer::new_dense(d, seed ^ kQjlSeedMask), true);
}

ProdQuantizer ProdQuantizer::new_srht(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  require_two_bits(b);
  MseQuantizer mse = MseQuantizer::new_srht(d, b - 1, seed);
  return assemble(d, b, std::move(mse), QjlQuantizer::new_srht(d, seed ^ kQjlSeedMask), false);
}

ProdQuantizer ProdQuantizer::new_srht_fast(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  MseQuantizer mse = MseQuantizer::new_srht(d, b, seed);
  return assemble(d, b, std::move(mse), QjlQuantizer::new_srht(d, seed ^ kQjlSeedMask), true);
}

unsigned ProdQuantizer::index_bits() const {
  if (mse_bits() > packing::kMaxBits) {
    panic("MSE index width " + std::to_string(mse_bits()) + " exceeds 16 bits");
  }
  return static_cast<unsigned>(mse_bits());
}

std::size_t ProdQuantizer::packed_mse_len() const { return packing::packed_len(n_, index_bits()); }

std::size_t ProdQuantizer::qjl_len() const { return (n_ + 7) / 8; }

EncodedVector ProdQuantizer::quantize(std::span<const float> x) const {
  assert_eq(x.size(), d_, "quantize input length");
  if (!rotation_t_.empty()) {
    EncodedVector code;
    quantize_dense_block(x.data(), 1, &code, nullptr);
    return code;
  }
  return quantize_srht(x);
}

EncodedVector ProdQuantizer::quantize_srht(std::span<const float> x) const {
  EncodedVector code;
  code.mse_indices = mse_.quantize(x);
  code.qjl_bits.assign(qjl_len(), 0);
  if (fast_mode_) return code;
  const std::span<double> approx = thread_scratch<ApproxTag, double>(d_);
  mse_.dequantize_into(code.mse_indices, approx);
  const std::span<float> approx_f32 = thread_scratch<ApproxF32Tag>(d_);
  // The decoded values are f32 products widened, so narrowing is exact.
  std::copy(approx.begin(), approx.end(), approx_f32.begin());
  add_sketch(x.data(), approx_f32.data(), 1, &code);
  return code;
}

void ProdQuantizer::add_sketch(const float* x, const float* approx, std::size_t count,
                               EncodedVector* codes) const {
  assert_eq(d_, qjl_.d, "residual dimension");
  const std::span<float> residual = thread_scratch<ResidualTag>(count * d_);
  // Each vector's squares are summed in coordinate order; interleaving a few
  // vectors keeps several of these dependent chains of adds in flight.
  constexpr std::size_t kChains = 4;
  for (std::size_t first = 0; first < count; first += kChains) {
    const std::size_t chains = std::min(kChains, count - first);
    double sum_sq[kChains] = {};
    for (std::size_t i = 0; i < d_; ++i) {
      for (std::size_t c = 0; c < chains; ++c) {
        const std::size_t at = (first + c) * d_ + i;
        const double r = static_cast<double>(x[at]) - static_cast<double>(approx[at]);
        sum_sq[c] += r * r;
        residual[at] = static_cast<float>(r);
      }
    }
    for (std::size_t c = 0; c < chains; ++c) codes[first + c].gamma = std::sqrt(sum_sq[c]);
  }
  const std::span<float> projected = thread_scratch<ProjectedTag>(count * n_);
  // The dense projection scales its sums after the product.
  float factor = 1.0f;
  if (!projection_t_.empty()) {
    linalg::mat_t_vecs(projection_t_, d_, residual.data(), count, projected.data());
    factor = qjl_.dense_factor();
  } else {
    for (std::size_t v = 0; v < count; ++v) {
      qjl_.apply_projection(residual.subspan(v * d_, d_), projected.subspan(v * n_, n_));
    }
  }
  for (std::size_t v = 0; v < count; ++v) {
    codes[v].qjl_bits.resize(qjl_len());
    pack_nonnegative(projected.subspan(v * n_, n_), factor, codes[v].qjl_bits);
  }
}

void ProdQuantizer::dequantize_into(std::span<const std::uint16_t> mse_indices,
                                    std::span<const std::uint8_t> qjl_bits, double gamma,
                                    std::span<double> out) const {
  mse_.dequantize_into(mse_indices, out);
  if (fast_mode_) return;
  assert_eq(qjl_bits.size(), (qjl_.n + 7) / 8, "QJL sign byte count");
  const std::span<double> correction = thread_scratch<CorrectionTag, double>(d_);
  qjl_.reconstruct_into(qjl_bits, gamma, qjl_reconstruction_scale(), correction);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] += correction[i];
}

float ProdQuantizer::qjl_reconstruction_scale() const {
  return std::sqrt(3.1415927f / (2.0f * static_cast<float>(qjl_.n)));
}

std::vector<double> ProdQuantizer::dequantize(std::span<const std::uint16_t> mse_indices,
                                              std::span<const std::uint8_t> qjl_bits,
                                              double gamma) const {
  std::vector<double> x(d_);
  dequantize_into(mse_indices, qjl_bits, gamma, x);
  return x;
}

std::vector<std::vector<double>> ProdQuantizer::dequantize_batch(
    std::span<const CodeView> codes) const {
  std::vector<std::vector<double>> out(codes.size());
  parallel_for_each(codes.size(), 16, [&](std::size_t i) {
    out[i] = dequantize(codes[i].mse_indices, codes[i].qjl_bits, codes[i].gamma);
  });
  return out;
}

std::vector<std::uint8_t> ProdQuantizer::pack_mse_indices(
    std::span<const std::uint16_t> indices) const {
  return packing::pack(indices, n_, index_bits());
}

void ProdQuantizer::unpack_mse_indices(std::span<const std::uint8_t> bytes,
                                       std::span<std::uint16_t> out,
                                       const packing::UnpackKernels& kernels) const {
  kernels.unpack(bytes, out, n_, index_bits());
}

}  // namespace velq
