// A stored code decoded to its vector x̂ = dequantize(code), straight from
// the slot's fields: the one decoding behind L2 scores, the reconstruction
// norms the L2 first pass relies on, and reranking from codes, so that all
// of them see the same x̂ to the bit.
#pragma once

#include <cstdint>
#include <span>

#include "quantizer/prod_quantizer.h"

namespace velq {

// A stored code's fields as its slot holds them.
struct StoredCode {
  std::span<const std::uint8_t> packed_mse;
  std::span<const std::uint8_t> qjl_bits;  // empty in fast mode
  float gamma = 0.0f;
};

// x̂ of every code into out (codes.size()·d values, not scaled by the stored
// norms), each with dequantize's bits whatever the batch, several codes per
// pass over a dense matrix.
void decode_codes(const ProdQuantizer& q, std::span<const StoredCode> codes, std::span<double> out);

}  // namespace velq
