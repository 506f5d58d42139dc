#include "quantizer/packing.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq::packing {

namespace {

void check_bits(unsigned bits) {
  if (bits > kMaxBits) panic("MSE index width " + std::to_string(bits) + " exceeds 16 bits");
}

}  // namespace

std::vector<std::uint8_t> pack(std::span<const std::uint16_t> indices, std::size_t n,
                               unsigned bits) {
  check_bits(bits);
  std::vector<std::uint8_t> out(pack_size(indices.size(), n, bits));
  pack_into(indices, n, bits, out);
  return out;
}

void pack_into(std::span<const std::uint16_t> indices, std::size_t n, unsigned bits,
               std::span<std::uint8_t> out) {
  check_bits(bits);
  if (out.size() != pack_size(indices.size(), n, bits)) {
    panic("packed output of " + std::to_string(out.size()) + " bytes, need " +
          std::to_string(pack_size(indices.size(), n, bits)));
  }
  if (bits == 8) {
    std::copy(indices.begin(), indices.end(), out.begin());
    return;
  }
  if (indices.size() < n) {
    panic("index out of bounds: " + std::to_string(indices.size()) + " MSE indices, need " +
          std::to_string(n));
  }
  if (bits == 0) return;
  // Accumulate bits in a 64-bit window and store them four bytes at a time:
  // fewer than 32 pending bits plus one 16-bit index never overflow it.
  const std::uint32_t mask = (1u << bits) - 1;
  std::uint64_t window = 0;
  unsigned pending = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    window |= static_cast<std::uint64_t>(indices[i] & mask) << pending;
    pending += bits;
    if (pending >= 32) {
      const auto word = static_cast<std::uint32_t>(window);
      std::memcpy(out.data() + at, &word, sizeof word);
      at += sizeof word;
      window >>= 32;
      pending -= 32;
    }
  }
  for (; pending >= 8; pending -= 8) {
    out[at++] = static_cast<std::uint8_t>(window);
    window >>= 8;
  }
  if (pending > 0) out[at] = static_cast<std::uint8_t>(window);
}

void unpack_scalar(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
                   std::size_t n, unsigned bits) {
  check_bits(bits);
  if (bits == 8) {
    const std::size_t count = std::min(bytes.size(), out.size());
    std::copy_n(bytes.begin(), count, out.begin());
    return;
  }
  const std::size_t count = std::min(n, out.size());
  if (bytes.size() < packed_len(count, bits)) {
    panic("index out of bounds: " + std::to_string(bytes.size()) + " packed bytes hold fewer than " +
          std::to_string(count) + " indices of " + std::to_string(bits) + " bits");
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = index_at(bytes, i, bits);
}

const UnpackKernels& portable_unpack_kernels() {
  static constexpr UnpackKernels kPortable = {.name = "portable", .unpack = unpack_scalar};
  return kPortable;
}


const UnpackKernels& active_unpack_kernels() {
  static const UnpackKernels& chosen =
      widest_kernels(portable_unpack_kernels, VELQ_X86_KERNELS(avx2_unpack_kernels),
                     VELQ_X86_KERNELS(avx512_unpack_kernels));
  return chosen;
}

void unpack(std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out, std::size_t n,
            unsigned bits) {
  active_unpack_kernels().unpack(bytes, out, n, bits);
}

}  // namespace velq::packing
