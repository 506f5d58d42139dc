#include "quantizer/blocked_codes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "quantizer/packing.h"

namespace velq {

namespace {

std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

}  // namespace

bool BlockedCodes::supports(const ProdQuantizer& q) {
  return q.mse_bits() >= 1 && q.mse_bits() <= 4;
}

BlockedShape BlockedCodes::shape_of(const ProdQuantizer& q) {
  if (!supports(q)) panic("codes of " + std::to_string(q.mse_bits()) + " MSE bits have no blocked form");
  BlockedShape s;
  s.n = q.n();
  s.bits = static_cast<unsigned>(q.mse_bits());
  s.mse_len = q.packed_mse_len();
  s.sign_len = q.fast_mode() ? 0 : q.qjl_len();
  s.index_pairs = ceil_div(s.n, 2);
  s.sign_pairs = s.sign_len == 0 ? 0 : ceil_div(ceil_div(s.n, 4), 2);
  return s;
}

BlockedCodes BlockedCodes::build(const ProdQuantizer& q, std::span<const std::uint8_t> slots,
                                 std::size_t stride, std::size_t count) {
  BlockedCodes codes;
  codes.shape_ = shape_of(q);
  const BlockedShape& s = codes.shape_;
  if (stride < s.mse_len + s.sign_len + 8) panic("slot stride too short for the code's fields");
  if (count > 0 && slots.size() / stride < count) panic("slot bytes hold fewer slots than asked");
  codes.count_ = count;
  codes.bytes_.assign(codes.blocks() * s.block_bytes(), 0);
  parallel_for(codes.blocks(), 64, [&](std::size_t first, std::size_t last) {
    const std::size_t end = std::min(count, last * BlockedShape::kCodes);
    for (std::size_t slot = first * BlockedShape::kCodes; slot < end; ++slot) {
      codes.write_code(slot, slots.subspan(slot * stride, stride));
    }
  });
  return codes;
}

void BlockedCodes::update(std::size_t slot, std::span<const std::uint8_t> slot_bytes) {
  if (slot_bytes.size() < shape_.mse_len + shape_.sign_len + 8) {
    panic("slot bytes too short for the code's fields");
  }
  grow_to(slot + 1);
  write_code(slot, slot_bytes);
}

void BlockedCodes::grow_to(std::size_t count) {
  if (count <= count_) return;
  count_ = count;
  bytes_.resize(blocks() * shape_.block_bytes(), 0);
}

void BlockedCodes::write_code(std::size_t slot, std::span<const std::uint8_t> slot_bytes) {
  const BlockedShape& s = shape_;
  std::uint8_t* block = bytes_.data() + (slot / BlockedShape::kCodes) * s.block_bytes();
  const std::size_t c = slot % BlockedShape::kCodes;
  const std::span<const std::uint8_t> packed = slot_bytes.first(s.mse_len);
  if (s.bits == 4) {
    // Four-bit packing already pairs index 2p (low) with 2p+1 (high).
    for (std::size_t p = 0; p < s.index_pairs; ++p) block[p * BlockedShape::kCodes + c] = packed[p];
  } else {
    // Eight indices fill `bits` whole bytes: four pairs from one 8-byte
    // load while the load stays inside the packed bytes, then pair by pair.
    const std::uint64_t mask = (1u << s.bits) - 1;
    std::size_t p = 0;
    for (; 2 * p + 8 <= s.n && p / 4 * s.bits + 8 <= packed.size(); p += 4) {
      std::uint64_t word;
      std::memcpy(&word, packed.data() + p / 4 * s.bits, sizeof word);
      for (std::size_t j = 0; j < 4; ++j) {
        const std::uint64_t lo = word >> (2 * j * s.bits) & mask;
        const std::uint64_t hi = word >> ((2 * j + 1) * s.bits) & mask;
        block[(p + j) * BlockedShape::kCodes + c] = static_cast<std::uint8_t>(lo | hi << 4);
      }
    }
    for (; p < s.index_pairs; ++p) {
      const std::size_t i = 2 * p;
      const unsigned lo = packing::index_at(packed, i, s.bits);
      const unsigned hi = i + 1 < s.n ? packing::index_at(packed, i + 1, s.bits) : 0;
      block[p * BlockedShape::kCodes + c] = static_cast<std::uint8_t>(lo | hi << 4);
    }
  }
  // Sign byte p is sign fields 2p and 2p+1 already; bits past n are cleared.
  const std::span<const std::uint8_t> signs = slot_bytes.subspan(s.mse_len, s.sign_len);
  for (std::size_t p = 0; p < s.sign_pairs; ++p) {
    const std::size_t first_bit = 8 * p;
    const unsigned keep = s.n - first_bit >= 8 ? 0xFFu : (1u << (s.n - first_bit)) - 1;
    block[(s.index_pairs + p) * BlockedShape::kCodes + c] =
        static_cast<std::uint8_t>(signs[p] & keep);
  }
  const std::uint8_t* scales = slot_bytes.data() + s.mse_len + s.sign_len;
  std::memcpy(block + s.gamma_offset() + 4 * c, scales, 4);
  std::memcpy(block + s.norm_offset() + 4 * c, scales + 4, 4);
}

}  // namespace velq
