// The QJL sketch as bytes: sign i is bit (i mod 8) of byte i/8, least
// significant bit first; a set bit means +1, a clear bit -1.
#pragma once

#include <cstdint>
#include <span>

namespace velq {

// out[i] = ±1.0f for the first out.size() signs; bytes must hold at least
// ceil(out.size() / 8) bytes.
void expand_signs(std::span<const std::uint8_t> bytes, std::span<float> out);
void expand_signs_portable(std::span<const std::uint8_t> bytes, std::span<float> out);

// The sketch of projected values: bit i of `out` is set when
// values[i] · factor >= 0.0f (the f32 product; both zeros set it, NaN
// leaves it clear) for i < values.size(); the rest of `out` is cleared. out
// must hold at least ceil(values.size() / 8) bytes.
void pack_nonnegative(std::span<const float> values, float factor, std::span<std::uint8_t> out);
void pack_nonnegative_portable(std::span<const float> values, float factor,
                               std::span<std::uint8_t> out);

struct SignBitKernels {
  const char* name;
  void (*expand_signs)(std::span<const std::uint8_t> bytes, std::span<float> out);
  void (*pack_nonnegative)(std::span<const float> values, float factor,
                           std::span<std::uint8_t> out);
};
const SignBitKernels& portable_sign_bit_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const SignBitKernels& avx2_sign_bit_kernels();
void expand_signs_avx2(std::span<const std::uint8_t> bytes, std::span<float> out);
void pack_nonnegative_avx2(std::span<const float> values, float factor,
                           std::span<std::uint8_t> out);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const SignBitKernels& active_sign_bit_kernels();

}  // namespace velq
