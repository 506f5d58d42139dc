#include "engine/blocked_mirror.h"

namespace velq {

namespace {

// L2 scores every candidate with the norms; Cosine rescores its pool with
// them when it reranks from codes.
bool keeps_reconstruction_norms(const EngineState& state) {
  if (state.metric() == DistanceMetric::kL2) return true;
  return state.metric() == DistanceMetric::kCosine && state.rerank_enabled() &&
         !state.live_vectors.has_value();
}

}  // namespace

void rebuild_blocked_codes(EngineState& state) {
  state.blocked_codes.reset();
  state.reconstruction_norms.reset();
  const ProdQuantizer& q = *state.quantizer;
  const std::size_t count = state.id_pool.slot_count();
  const std::span<const std::uint8_t> bytes =
      count > 0 ? state.live_codes.mapped_bytes() : std::span<const std::uint8_t>();
  if (BlockedCodes::supports(q)) {
    state.blocked_codes = BlockedCodes::build(q, bytes, state.layout.stride, count);
  }
  if (keeps_reconstruction_norms(state)) {
    state.reconstruction_norms = ReconstructionNorms::build(q, bytes, state.layout.stride, count);
  }
}

void update_blocked_codes(EngineState& state, std::uint32_t slot,
                          std::optional<double> decoded_square) {
  if (state.blocked_codes.has_value()) state.blocked_codes->update(slot, state.live_codes.slot(slot));
  if (!state.reconstruction_norms.has_value()) return;
  if (decoded_square.has_value()) {
    state.reconstruction_norms->set(slot, *decoded_square);
  } else {
    state.reconstruction_norms->update(*state.quantizer, slot, state.live_codes.slot(slot));
  }
}

void cover_blocked_codes(EngineState& state, std::uint32_t count) {
  if (state.blocked_codes.has_value()) state.blocked_codes->grow_to(count);
  if (state.reconstruction_norms.has_value()) state.reconstruction_norms->grow_to(count);
}

}  // namespace velq
