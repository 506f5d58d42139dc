// Bit packing of MSE indices: index i occupies bits [i*bits, (i+1)*bits) of a
// least-significant-bit-first stream (stream bit p is bit p%8 of byte p/8);
// the last byte's unused high bits are zero. The write-ahead log and the slot
// files store codes in this form, so the layout is fixed.
//
// Free functions of (n, bits) so that the quantizer's methods stay thin and
// the scoring kernels can read packed codes in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace velq::packing {

// Widest index the stream can hold (indices are u16).
inline constexpr unsigned kMaxBits = 16;

// ceil(n * bits / 8): bytes of n packed indices.
constexpr std::size_t packed_len(std::size_t n, unsigned bits) {
  return (n * bits + 7) / 8;
}

// Index i of a packed stream, read byte by byte. REQUIRES: bits in 1..16 and
// `bytes` holds at least packed_len(i + 1, bits) bytes.
inline std::uint16_t read_index(const std::uint8_t* bytes, std::size_t i, unsigned bits) {
  const std::size_t p = i * bits;
  std::size_t byte = p / 8;
  unsigned gathered = 8 - static_cast<unsigned>(p % 8);
  std::uint32_t v = static_cast<std::uint32_t>(bytes[byte]) >> (p % 8);
  while (gathered < bits) {
    v |= static_cast<std::uint32_t>(bytes[++byte]) << gathered;
    gathered += 8;
  }
  return static_cast<std::uint16_t>(v & ((1u << bits) - 1));
}

// Index i of a packed stream of `bytes` (bits 0..16): one 4-byte load while
// four bytes remain, else byte by byte. REQUIRES: bytes.size() >=
// packed_len(i + 1, bits).
inline std::uint16_t index_at(std::span<const std::uint8_t> bytes, std::size_t i, unsigned bits) {
  if (bits == 0) return 0;
  const std::size_t p = i * bits;
  // An index starts at most 7 bits into its first byte and spans at most 23
  // bits, so a 4-byte little-endian word holds it.
  if (p / 8 + 4 <= bytes.size()) {
    std::uint32_t word;
    std::memcpy(&word, bytes.data() + p / 8, sizeof word);
    return static_cast<std::uint16_t>((word >> (p % 8)) & ((1u << bits) - 1));
  }
  return read_index(bytes.data(), i, bits);
}

// Packs the first n indices (bits 0..16; bits of an index at or above `bits`
// are dropped; bits = 0 packs to nothing and unpacks to zeros). With bits = 8 every given index becomes one byte, whatever n.
// Panics when fewer than n indices are given (bits != 8) or bits > 16.
std::vector<std::uint8_t> pack(std::span<const std::uint16_t> indices, std::size_t n,
                               unsigned bits);
// Bytes pack() returns for `given` indices of which n are packed.
constexpr std::size_t pack_size(std::size_t given, std::size_t n, unsigned bits) {
  return bits == 8 ? given : packed_len(n, bits);
}
// pack() into `out` without allocating. Panics as pack() does, and when
// out.size() differs from pack_size(indices.size(), n, bits).
void pack_into(std::span<const std::uint16_t> indices, std::size_t n, unsigned bits,
               std::span<std::uint8_t> out);

// Fills out[i] for i < min(n, out.size()) (bits = 8: i < min(bytes.size(),
// out.size())). Panics when `bytes` is too short for the indices requested.
void unpack_scalar(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
                   std::size_t n, unsigned bits);
// The unpack forms as a table, chosen once like the scoring kernels.
struct UnpackKernels {
  const char* name;
  void (*unpack)(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
                 std::size_t n, unsigned bits);
};
// unpack_scalar.
const UnpackKernels& portable_unpack_kernels();
#if VELQ_X86
// Same results; 4-bit codes are decoded 32 at a time. REQUIRES: has_avx2().
const UnpackKernels& avx2_unpack_kernels();
// Same results; indices of 1..7 bits are decoded 32 at a time.
// REQUIRES: has_avx512().
const UnpackKernels& avx512_unpack_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const UnpackKernels& active_unpack_kernels();

// Through active_unpack_kernels().
void unpack(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out, std::size_t n,
            unsigned bits);

}  // namespace velq::packing
