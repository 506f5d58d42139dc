// IEEE 754 binary16 ("half") conversion for raw vectors kept at two bytes a
// value. Narrowing rounds to nearest with ties to even, overflows to
// infinity, and turns every NaN into a quiet NaN with the same sign and the
// top ten payload bits; widening is exact. The F16C form and the portable
// form give identical bits for every input.
//
// The packed forms read and write little-endian halves at any byte address,
// so they work in place in a slot file's mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velq::half {

// The largest finite half, and the smallest magnitude that narrows to
// infinity (halfway from kMaxFinite to the next power of two; the tie goes
// to the even significand, which is infinity's).
inline constexpr float kMaxFinite = 65504.0f;
inline constexpr float kFirstOverflow = 65520.0f;

std::uint16_t from_float(float value);
float to_float(std::uint16_t bits);

// The bulk forms as a table, chosen once like the other kernels.
struct HalfKernels {
  const char* name;
  // out holds 2 * in.size() bytes.
  void (*narrow)(std::span<const float> in, std::uint8_t* out);
  // in holds 2 * out.size() bytes.
  void (*widen)(const std::uint8_t* in, std::span<float> out);
};
const HalfKernels& portable_half_kernels();
#if VELQ_X86
// The F16C conversions. REQUIRES: has_avx2().
const HalfKernels& avx2_half_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const HalfKernels& active_half_kernels();

}  // namespace velq::half
