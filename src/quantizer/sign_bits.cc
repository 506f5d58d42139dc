#include "quantizer/sign_bits.h"

#include <bit>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq {

void expand_signs(std::span<const std::uint8_t> bytes, std::span<float> out) {
  (has_avx2() ? expand_signs_avx2 : expand_signs_portable)(bytes, out);
}

void expand_signs_portable(std::span<const std::uint8_t> bytes, std::span<float> out) {
  if (bytes.size() < (out.size() + 7) / 8) panic("QJL sign bytes too short for the sketch length");
  for (std::size_t i = 0; i < out.size(); ++i) {
    // -1.0f with its sign bit cleared when the bit is set.
    const std::uint32_t bit = (bytes[i / 8] >> (i % 8)) & 1u;
    out[i] = std::bit_cast<float>(0xBF800000u ^ (bit << 31));
  }
}

}  // namespace velq
