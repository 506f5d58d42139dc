// Walsh-Hadamard transform and the subsampled randomized Hadamard rotation
// (SRHT) used by both quantizer stages. All arithmetic is f32.
//
// srht computes H·D·pad(x)/√n and inverse_srht the first d entries of
// D·H·y/√n: the transpose of the forward map restricted to the first d
// inputs, so <q, inverse_srht(y)> = <srht(q), y>. Scoring relies on it.
#pragma once

#include <cstddef>
#include <span>

namespace velq::linalg {

// Smallest power of two >= x; npow2(0) = npow2(1) = 1. Panics above 2^63.
std::size_t npow2(std::size_t x);

// In-place unnormalised transform; panics unless v.size() is a power of two.
// Through active_hadamard_kernels() (the forms are bit-identical).
void fwht(std::span<float> v);
void fwht_portable(std::span<float> v);

// Multiplies every element by factor (the last step of srht).
void scale_portable(std::span<float> v, float factor);

// The processor-specific steps of the rotation; the rest is shared.
struct HadamardKernels {
  const char* name;
  void (*fwht)(std::span<float> v);
  void (*scale)(std::span<float> v, float factor);
};
const HadamardKernels& portable_hadamard_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const HadamardKernels& avx2_hadamard_kernels();
void fwht_avx2(std::span<float> v);
void scale_avx2(std::span<float> v, float factor);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const HadamardKernels& active_hadamard_kernels();

// out.size() must equal npow2(x.size()); signs must hold at least that many.
void srht(std::span<const float> x, std::span<const float> signs, std::span<float> out);

// y.size() must equal npow2(d); writes out[0..d). Uses a per-thread scratch
// buffer, so it allocates only when a thread first sees a larger n.
void inverse_srht(std::span<const float> y, std::span<const float> signs, std::span<float> out,
                  std::size_t d);

// The same with the kernels fixed, for tests and benchmarks. The AVX2 forms
// require a processor that has it.
void srht_portable(std::span<const float> x, std::span<const float> signs, std::span<float> out);
void inverse_srht_portable(std::span<const float> y, std::span<const float> signs,
                           std::span<float> out, std::size_t d);
#if VELQ_X86
void srht_avx2(std::span<const float> x, std::span<const float> signs, std::span<float> out);
void inverse_srht_avx2(std::span<const float> y, std::span<const float> signs,
                       std::span<float> out, std::size_t d);
#endif

}  // namespace velq::linalg
