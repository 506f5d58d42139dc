// Decoding several codes at once. A dense matrix is several megabytes at the
// usual dimensions, so decoding one code at a time streams it from memory
// for each; mat_t_vecs reads it once per group of codes and gives each code
// the bits mat_t_vec gives it, so the decoded vectors equal dequantize's.
#include <algorithm>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "linalg/dense.h"
#include "quantizer/prod_quantizer.h"
#include "quantizer/sign_bits.h"

namespace velq {

namespace {

// Codes per group: enough to reuse each matrix strip several times, few
// enough that their f32 buffers stay in the first cache levels.
constexpr std::size_t kGroup = 16;

struct GroupInputTag;
struct GroupOutputTag;

}  // namespace

void ProdQuantizer::dequantize_codes_into(std::span<const CodeView> codes,
                                          std::span<double> out) const {
  assert_eq(out.size(), codes.size() * d_, "decoded values");
  if (!dense_decoding()) {
    for (std::size_t v = 0; v < codes.size(); ++v) {
      dequantize_into(codes[v].mse_indices, codes[v].qjl_bits, codes[v].gamma,
                      out.subspan(v * d_, d_));
    }
    return;
  }
  const std::span<float> in = thread_scratch<GroupInputTag>(kGroup * d_);
  const std::span<float> product = thread_scratch<GroupOutputTag>(kGroup * d_);
  for (std::size_t first = 0; first < codes.size(); first += kGroup) {
    const std::size_t take = std::min(kGroup, codes.size() - first);
    for (std::size_t v = 0; v < take; ++v) {
      assert_eq(codes[first + v].mse_indices.size(), n_, "dequantize input length");
      mse_.levels_into(codes[first + v].mse_indices, in.subspan(v * n_, n_));
    }
    linalg::mat_t_vecs(*mse_.rotation_matrix, d_, in.data(), take, product.data());
    std::copy_n(product.begin(), take * d_, out.begin() + static_cast<std::ptrdiff_t>(first * d_));
    if (fast_mode_) continue;
    for (std::size_t v = 0; v < take; ++v) {
      assert_eq(codes[first + v].qjl_bits.size(), (qjl_.n + 7) / 8, "QJL sign byte count");
      expand_signs(codes[first + v].qjl_bits, in.subspan(v * qjl_.n, qjl_.n));
    }
    linalg::mat_t_vecs(*qjl_.projection_matrix, d_, in.data(), take, product.data());
    // The sketch's part as QjlQuantizer::reconstruct_into forms it.
    const float factor = qjl_.dense_factor();
    for (std::size_t v = 0; v < take; ++v) {
      const double c = static_cast<double>(static_cast<float>(codes[first + v].gamma) *
                                           qjl_reconstruction_scale());
      double* x = out.data() + (first + v) * d_;
      const float* t = product.data() + v * d_;
      for (std::size_t j = 0; j < d_; ++j) x[j] += static_cast<double>(t[j] * factor) * c;
    }
  }
}

}  // namespace velq
