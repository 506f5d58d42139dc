// Sizing, reading and writing the slots of one record in the live files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "engine/engine_state.h"

namespace velq {

// A record's code as stored in its slot, indices unpacked.
struct LiveCode {
  std::vector<std::uint16_t> mse_indices;    // n values
  std::span<const std::uint8_t> qjl_bits;    // Q bytes, in the mapping
  float gamma = 0.0f;
  float norm = 0.0f;
};

LiveCode live_codes_at_slot(const EngineState& state, std::uint32_t slot);

// The slot of `id`: its current slot when the id is live, else a new one
// (the live files grow before the id pool takes the id, so a failed growth
// leaves the pool untouched).
Result<std::uint32_t> live_slot_for(EngineState& state, std::string_view id);

// Reserves storage in the live files for the next `count` new records'
// slots (LiveCodesFile::reserve), so that a full disk refuses a write before
// it is logged instead of faulting when its slot is stored. Hands out no
// slot and leaves the id pool alone.
Status reserve_new_slots(EngineState& state, std::uint64_t count);

// Writes a code into `slot` (held by the live files) and its blocked copy.
// Writes of distinct slots may run at once when cover_blocked_codes covered
// them first; nothing else of the state changes.
void live_write_code(EngineState& state, std::uint32_t slot,
                     std::span<const std::uint16_t> mse_indices,
                     std::span<const std::uint8_t> qjl_bits, float gamma, float norm);

// The same with the indices already packed (M bytes); decoded_square as
// update_blocked_codes takes it.
void live_write_packed_code(EngineState& state, std::uint32_t slot,
                            std::span<const std::uint8_t> packed_mse,
                            std::span<const std::uint8_t> qjl_bits, float gamma, float norm,
                            std::optional<double> decoded_square = std::nullopt);

// live_slot_for, then live_write_code into that slot.
Result<std::uint32_t> live_alloc_or_update(EngineState& state, std::string_view id,
                                           std::span<const std::uint16_t> mse_indices,
                                           std::span<const std::uint8_t> qjl_bits, float gamma,
                                           float norm);

// Writes a raw vector (d values) into the slot when raw vectors are kept;
// like live_write_code, safe for distinct slots at once.
void live_save_raw_vector(EngineState& state, std::uint32_t slot, std::span<const float> values);

}  // namespace velq
