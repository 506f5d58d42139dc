#include "common/half.h"

#include <bit>
#include <cstring>

#include "common/cpu_features.h"

namespace velq::half {

namespace {

constexpr std::uint32_t kF32AbsMask = 0x7fffffffu;
constexpr std::uint32_t kF32Inf = 0x7f800000u;
constexpr std::uint32_t kF32MantMask = 0x007fffffu;
// The smallest f32 that rounds to the half infinity (65520).
constexpr std::uint32_t kF32HalfOverflow = 0x477ff000u;
// 2^-14, the smallest normal half.
constexpr std::uint32_t kF32HalfMinNormal = 0x38800000u;
// Below 2^-25 everything rounds to zero; 2^-25 itself ties to zero.
constexpr std::uint32_t kF32HalfZeroBound = 0x33000000u;
constexpr std::uint16_t kHalfInf = 0x7c00;
constexpr std::uint16_t kHalfQuiet = 0x0200;
// Exponent bias difference (127 - 15) placed at the f32 exponent field.
constexpr std::uint32_t kRebias = 112u << 23;

// `value >> shift` rounded to nearest, ties to even (shift 1..31).
std::uint32_t shift_round_even(std::uint32_t value, unsigned shift) {
  const std::uint32_t kept = value >> shift;
  const std::uint32_t rest = value & ((1u << shift) - 1);
  const std::uint32_t half_way = 1u << (shift - 1);
  return kept + ((rest > half_way || (rest == half_way && (kept & 1u))) ? 1u : 0u);
}

void store_u16(std::uint8_t* out, std::uint16_t v) { std::memcpy(out, &v, sizeof v); }

std::uint16_t load_u16(const std::uint8_t* in) {
  std::uint16_t v;
  std::memcpy(&v, in, sizeof v);
  return v;
}

}  // namespace

std::uint16_t from_float(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000u);
  const std::uint32_t abs = x & kF32AbsMask;
  if (abs > kF32Inf) {
    return static_cast<std::uint16_t>(sign | kHalfInf | kHalfQuiet | ((abs & kF32MantMask) >> 13));
  }
  if (abs >= kF32HalfOverflow) return static_cast<std::uint16_t>(sign | kHalfInf);
  if (abs >= kF32HalfMinNormal) {
    // The exponent carries naturally when the mantissa rounds up.
    return static_cast<std::uint16_t>(sign | shift_round_even(abs - kRebias, 13));
  }
  if (abs <= kF32HalfZeroBound) return sign;
  // Subnormal half: the f32 significand (implicit bit included) scaled to
  // units of 2^-24. The f32 exponent is 102..112 here, so the shift is 14..24.
  const std::uint32_t exponent = abs >> 23;
  const std::uint32_t significand = (abs & kF32MantMask) | 0x00800000u;
  return static_cast<std::uint16_t>(sign | shift_round_even(significand, 126 - exponent));
}

float to_float(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1fu;
  std::uint32_t mant = bits & 0x3ffu;
  std::uint32_t out;
  if (exponent == 0x1f) {
    // Infinity, or a NaN made quiet with its payload kept.
    out = kF32Inf | (mant << 13) | (mant != 0 ? 0x00400000u : 0u);
  } else if (exponent != 0) {
    out = ((exponent << 23) + kRebias) | (mant << 13);
  } else if (mant == 0) {
    out = 0;
  } else {
    // Subnormal half: normalise into an f32 normal.
    std::uint32_t e = 113;
    while ((mant & 0x400u) == 0) {
      mant <<= 1;
      --e;
    }
    out = (e << 23) | ((mant & 0x3ffu) << 13);
  }
  return std::bit_cast<float>(sign | out);
}

namespace {

void narrow_portable(std::span<const float> in, std::uint8_t* out) {
  for (std::size_t i = 0; i < in.size(); ++i) store_u16(out + 2 * i, from_float(in[i]));
}

void widen_portable(const std::uint8_t* in, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = to_float(load_u16(in + 2 * i));
}

}  // namespace

const HalfKernels& portable_half_kernels() {
  static constexpr HalfKernels kPortable = {
      .name = "portable", .narrow = narrow_portable, .widen = widen_portable};
  return kPortable;
}

const HalfKernels& active_half_kernels() {
  static const HalfKernels& chosen =
      widest_kernels(portable_half_kernels, VELQ_X86_KERNELS(avx2_half_kernels));
  return chosen;
}

}  // namespace velq::half
