// An in-memory copy of the slot file's codes in blocks of 32, laid out for
// the first pass of an exhaustive scan (first_pass.h): every code is cut into
// 4-bit fields, first its MSE indices (one field per coordinate) and then its
// sign bits (one field per four coordinates), and each block stores field
// pair p of its 32 codes as 32 consecutive bytes (code c's field 2p in the low
// nibble of byte c, field 2p+1 in the high nibble). After the fields come the
// block's 32 gammas and 32 norms (f32). Only quantizers with at most 4 MSE
// bits have this form.
//
// The copy follows the slot file: build it on open, update a slot after each
// slot write, build it again after compaction. Not thread-safe for writes;
// reads may run concurrently under the owner's read lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quantizer/huge_page_allocator.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

// Field counts and byte offsets of one block; derived from the quantizer.
struct BlockedShape {
  static constexpr std::size_t kCodes = 32;

  std::size_t n = 0;            // coordinates
  unsigned bits = 0;            // MSE bits, 1..4
  std::size_t mse_len = 0;      // packed MSE bytes of a slot (M)
  std::size_t sign_len = 0;     // sign bytes of a slot (Q; 0 in fast mode)
  std::size_t index_pairs = 0;  // ceil(n / 2)
  std::size_t sign_pairs = 0;   // ceil(ceil(n / 4) / 2) with a sketch, else 0

  std::size_t pairs() const { return index_pairs + sign_pairs; }
  std::size_t gamma_offset() const { return pairs() * kCodes; }
  std::size_t norm_offset() const { return gamma_offset() + 4 * kCodes; }
  std::size_t block_bytes() const { return norm_offset() + 4 * kCodes; }
};

class BlockedCodes {
 public:
  // True when q's codes have a blocked form (at most 4 MSE bits).
  static bool supports(const ProdQuantizer& q);
  // REQUIRES: supports(q).
  static BlockedShape shape_of(const ProdQuantizer& q);

  // The first `count` slots of `slots` (slot s at [s*stride, (s+1)*stride),
  // laid out as M index bytes, Q sign bytes, gamma f32, norm f32, flag), in
  // parallel on the worker pool. Panics when q has no blocked form, the
  // stride is too short for those fields or the bytes for `count` slots.
  static BlockedCodes build(const ProdQuantizer& q, std::span<const std::uint8_t> slots,
                            std::size_t stride, std::size_t count);

  // Copies one slot's fields in, growing the copy when `slot` lies beyond it
  // (the codes between stay zero). `slot_bytes` is the slot as stored. An
  // update of a slot below size() touches only that slot's bytes, so updates
  // of distinct slots below size() may run concurrently.
  void update(std::size_t slot, std::span<const std::uint8_t> slot_bytes);
  // Covers at least `count` slots (new codes zero); never shrinks.
  void grow_to(std::size_t count);

  const BlockedShape& shape() const { return shape_; }
  // Slots covered (a multiple of 32 blocks may hold a few more codes, zero).
  std::size_t size() const { return count_; }
  std::size_t blocks() const { return (count_ + BlockedShape::kCodes - 1) / BlockedShape::kCodes; }
  const std::uint8_t* block(std::size_t b) const { return bytes_.data() + b * shape_.block_bytes(); }
  std::size_t memory_bytes() const { return bytes_.size(); }

 private:
  void write_code(std::size_t slot, std::span<const std::uint8_t> slot_bytes);

  BlockedShape shape_;
  std::size_t count_ = 0;
  // Scanned end to end by the first pass: huge pages where the system has them.
  std::vector<std::uint8_t, HugePageAllocator<std::uint8_t>> bytes_;
};

}  // namespace velq
