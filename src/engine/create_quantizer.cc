#include "engine/create_quantizer.h"

#include <bit>
#include <new>
#include <string>

#include "quantizer/packing.h"

namespace velq {

namespace {

// Floats of the dense stages (rotation and projection, d x d each) beyond
// which creation is refused: 2^31 floats are 8 GiB per matrix.
constexpr std::uint64_t kMaxDenseFloats = std::uint64_t{1} << 31;
// Padded lengths of the Hadamard form beyond which creation is refused.
constexpr std::uint64_t kMaxPaddedLength = std::uint64_t{1} << 31;

bool is_dense(std::string_view type) { return type == "dense" || type == "exact"; }

}  // namespace

Result<ProdQuantizer> create_quantizer(std::size_t d, std::size_t b, std::uint64_t seed,
                                       bool fast_mode, std::string_view quantizer_type) {
  if (!fast_mode && b < 2) return Error::invalid_argument("ProdQuantizer requires at least b=2");
  const std::size_t mse_bits = fast_mode ? b : b - 1;
  if (mse_bits > packing::kMaxBits) {
    return Error::invalid_argument("codebook too large for u16 indices; reduce bits");
  }
  const bool dense = is_dense(quantizer_type);
  std::uint64_t floats = 0;
  if (dense && (__builtin_mul_overflow(std::uint64_t{d}, std::uint64_t{d}, &floats) ||
                floats > kMaxDenseFloats)) {
    return Error::invalid_argument("dimension " + std::to_string(d) +
                                   " is too large for a dense rotation (d x d floats)");
  }
  if (!dense && d > kMaxPaddedLength) {
    return Error::invalid_argument("dimension " + std::to_string(d) +
                                   " is too large for a Hadamard rotation");
  }
  try {
    if (dense) {
      return fast_mode ? ProdQuantizer::new_dense_fast(d, b, seed)
                       : ProdQuantizer::new_dense(d, b, seed);
    }
    return fast_mode ? ProdQuantizer::new_srht_fast(d, b, seed) : ProdQuantizer::new_srht(d, b, seed);
  } catch (const std::bad_alloc&) {
    return Error::invalid_argument("dimension " + std::to_string(d) +
                                   " needs more memory for its quantizer than is available");
  }
}

}  // namespace velq
