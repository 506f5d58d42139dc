#include "engine/code_decode.h"

namespace velq {

void decode_code(const ProdQuantizer& q, std::span<const std::uint8_t> packed_mse,
                 std::span<const std::uint8_t> qjl_bits, float gamma,
                 std::span<std::uint16_t> indices, std::span<double> out) {
  q.unpack_mse_indices(packed_mse, indices);
  q.dequantize_into(indices, qjl_bits, gamma, out);
}

}  // namespace velq
