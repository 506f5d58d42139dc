// ‖x̂‖², x̂ = dequantize(code), of every slot's code: what scoring a slot
// against its decoded vector needs beyond <q, x̂> (which ProdQuantizer::
// decoded_ip_packed gives without decoding), and what the L2 first pass
// needs beyond the blocked copy of the codes (l2_bound.h). Kept
// beside that copy and maintained with it: built at open and after
// compaction on the worker pool, one slot recomputed after each slot write
// (one reconstruction, about the cost of a dequantize). 8 bytes per slot.
//
// Slots are laid out as CodeScan reads them: M packed index bytes, Q sign
// bytes (none in fast mode), gamma f32.
//
// decode_codes is the one decoding of stored codes, behind L2 scores and
// reranking from codes; these norms come from ProdQuantizer::
// decoded_squares_of, whose squares are those of the same x̂ to the bit, in
// the code-making's blocks, as a write keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quantizer/prod_quantizer.h"

namespace velq {

// A stored code's fields as its slot holds them.
struct StoredCode {
  std::span<const std::uint8_t> packed_mse;
  std::span<const std::uint8_t> qjl_bits;  // empty in fast mode
  float gamma = 0.0f;
};

// x̂ of every code into out (codes.size()·d values, not scaled by the stored
// norms), each with dequantize's bits whatever the batch, several codes per
// pass over a dense matrix.
void decode_codes(const ProdQuantizer& q, std::span<const StoredCode> codes, std::span<double> out);

class ReconstructionNorms {
 public:
  // The first `count` slots of `slots` (stride bytes apart), in parallel.
  // Panics when the bytes hold fewer slots or the stride is too short.
  static ReconstructionNorms build(const ProdQuantizer& q, std::span<const std::uint8_t> slots,
                                   std::size_t stride, std::size_t count);

  // Recomputes one slot from its stored bytes, growing the list when `slot`
  // lies beyond it. Updates of distinct slots below size() may run at once.
  void update(const ProdQuantizer& q, std::size_t slot, std::span<const std::uint8_t> slot_bytes);
  // Records a slot's square known from the making of its code (what update
  // would compute from the stored bytes), growing the list as update does.
  void set(std::size_t slot, double squared);
  // Covers at least `count` slots (new ones 0 until updated, a valid lower
  // bound); never shrinks.
  void grow_to(std::size_t count);

  std::size_t size() const { return squared_.size(); }
  // The f64 sum of squares of the decoded vector's coordinates.
  double squared(std::size_t slot) const { return squared_[slot]; }
  // Asks the processor for squared(slot) ahead of its use.
  void prefetch(std::size_t slot) const {
    if (slot < squared_.size()) __builtin_prefetch(squared_.data() + slot);
  }
  std::size_t memory_bytes() const { return squared_.size() * sizeof(double); }

 private:
  std::vector<double> squared_;
};

}  // namespace velq
