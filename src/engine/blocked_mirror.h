// Keeping the blocked copy of live_codes.bin (the first pass's layout), and
// the codes' reconstruction norms where scoring needs them, in step with the
// slot file. Open and compaction rebuild them; every slot write copies the slot
// in. Exhaustive search trusts them for the slots they cover, so a write
// that skips update_blocked_codes would corrupt answers.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/engine_state.h"

namespace velq {

// Copies the first id_pool.slot_count() slots; no copy when the quantizer
// has no blocked form (more than 4 MSE bits). The norms, when kept, cover
// the same slots whatever the quantizer.
void rebuild_blocked_codes(EngineState& state);

// Copies slot `slot` of live_codes (just written) into the copy. Safe to run
// for distinct slots at once when cover_blocked_codes covered them first.
// decoded_square, when given, is the written code's ‖x̂‖² as the quantizer
// reported it while making the code; otherwise the slot is decoded again.
void update_blocked_codes(EngineState& state, std::uint32_t slot,
                          std::optional<double> decoded_square = std::nullopt);

// Grows the copy (when there is one) to cover slots [0, count).
void cover_blocked_codes(EngineState& state, std::uint32_t count);

}  // namespace velq
