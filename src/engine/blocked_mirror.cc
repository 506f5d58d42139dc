#include "engine/blocked_mirror.h"

namespace velq {

void rebuild_blocked_codes(EngineState& state) {
  state.blocked_codes.reset();
  state.reconstruction_norms.reset();
  const ProdQuantizer& q = *state.quantizer;
  if (!BlockedCodes::supports(q)) return;
  const std::size_t count = state.id_pool.slot_count();
  const std::span<const std::uint8_t> bytes =
      count > 0 ? state.live_codes.mapped_bytes() : std::span<const std::uint8_t>();
  state.blocked_codes = BlockedCodes::build(q, bytes, state.layout.stride, count);
  if (state.metric == DistanceMetric::kL2) {
    state.reconstruction_norms = ReconstructionNorms::build(q, bytes, state.layout.stride, count);
  }
}

void update_blocked_codes(EngineState& state, std::uint32_t slot) {
  if (state.blocked_codes.has_value()) state.blocked_codes->update(slot, state.live_codes.slot(slot));
  if (state.reconstruction_norms.has_value()) {
    state.reconstruction_norms->update(*state.quantizer, slot, state.live_codes.slot(slot));
  }
}

void cover_blocked_codes(EngineState& state, std::uint32_t count) {
  if (state.blocked_codes.has_value()) state.blocked_codes->grow_to(count);
  if (state.reconstruction_norms.has_value()) state.reconstruction_norms->grow_to(count);
}

}  // namespace velq
