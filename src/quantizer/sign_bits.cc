#include "quantizer/sign_bits.h"

#include <algorithm>
#include <bit>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq {

void expand_signs(std::span<const std::uint8_t> bytes, std::span<float> out) {
  active_sign_bit_kernels().expand_signs(bytes, out);
}

void expand_signs_portable(std::span<const std::uint8_t> bytes, std::span<float> out) {
  if (bytes.size() < (out.size() + 7) / 8) panic("QJL sign bytes too short for the sketch length");
  for (std::size_t i = 0; i < out.size(); ++i) {
    // -1.0f with its sign bit cleared when the bit is set.
    const std::uint32_t bit = (bytes[i / 8] >> (i % 8)) & 1u;
    out[i] = std::bit_cast<float>(0xBF800000u ^ (bit << 31));
  }
}

void pack_nonnegative(std::span<const float> values, float factor, std::span<std::uint8_t> out) {
  active_sign_bit_kernels().pack_nonnegative(values, factor, out);
}

void pack_nonnegative_portable(std::span<const float> values, float factor,
                               std::span<std::uint8_t> out) {
  if (out.size() < (values.size() + 7) / 8) panic("sign bytes too short for the sketch length");
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] * factor >= 0.0f) out[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
}

const SignBitKernels& portable_sign_bit_kernels() {
  static constexpr SignBitKernels kPortable = {.name = "portable",
                                               .expand_signs = expand_signs_portable,
                                               .pack_nonnegative = pack_nonnegative_portable};
  return kPortable;
}

const SignBitKernels& active_sign_bit_kernels() {
  static const SignBitKernels& chosen =
      widest_kernels(portable_sign_bit_kernels, VELQ_X86_KERNELS(avx2_sign_bit_kernels));
  return chosen;
}

}  // namespace velq
