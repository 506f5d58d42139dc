// Hamming distance of two sign-bit codes (the QJL bytes of two slots): the
// code-to-code estimate of the index build counts the agreeing signs of
// every pair it scores. A portable form and an AVX2 one, chosen once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velq {

// Bit positions in which a and b differ, over min(a.size(), b.size()) bytes.
std::size_t differing_bits(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

namespace sign_kernels {

// Eight bytes at a time with a branch-free bit count (no processor
// instruction needed).
std::size_t differing_bits_portable(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

struct SignAgreementKernels {
  const char* name;
  std::size_t (*differing_bits)(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);
};
const SignAgreementKernels& portable_sign_agreement_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const SignAgreementKernels& avx2_sign_agreement_kernels();
// Thirty-two bytes at a time, counting through a nibble table.
std::size_t differing_bits_avx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const SignAgreementKernels& active_sign_agreement_kernels();

}  // namespace sign_kernels
}  // namespace velq
