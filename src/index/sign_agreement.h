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
// Thirty-two bytes at a time, counting through a nibble table. REQUIRES: AVX2.
std::size_t differing_bits_avx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

}  // namespace sign_kernels
}  // namespace velq
