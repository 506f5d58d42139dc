#include "engine/slot_writes.h"

#include "engine/blocked_mirror.h"

#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "engine/slot_layout.h"
#include "quantizer/packing.h"

namespace velq {

namespace {

struct PackedIndicesTag;

// Grows `file` until it holds slot `slot`. A slot file may already hold it
// when an earlier allocation grew one file and failed on the next: that slot
// belongs to no record yet and is simply taken now.
Status hold_slot(LiveCodesFile& file, std::uint32_t slot) {
  while (file.len() <= slot) {
    VELQ_RETURN_IF_ERROR(file.alloc_slot());
  }
  return ok_status();
}

// A new slot for `id`: the live files grow first, so that a failed growth
// leaves the id pool as it was and the three slot counts never drift apart.
Result<std::uint32_t> alloc_new_slot(EngineState& state, std::string_view id) {
  VELQ_RETURN_IF_ERROR(state.id_pool.check_new_id(id));
  const std::uint32_t next = state.id_pool.slot_count();
  VELQ_RETURN_IF_ERROR(hold_slot(state.live_codes, next));
  if (state.live_vectors) VELQ_RETURN_IF_ERROR(hold_slot(*state.live_vectors, next));
  VELQ_ASSIGN_OR_RETURN(const std::uint32_t slot, state.id_pool.insert(id));
  assert_eq(slot, next, "id pool slot vs live file slot");
  return slot;
}

}  // namespace

LiveCode live_codes_at_slot(const EngineState& state, std::uint32_t slot) {
  const CodeSlotView view = read_code_slot(state.layout, state.live_codes.slot(slot));
  LiveCode code;
  code.mse_indices.resize(state.layout.n);
  state.quantizer->unpack_mse_indices(view.packed_mse, code.mse_indices);
  code.qjl_bits = view.qjl_bits;
  code.gamma = view.gamma;
  code.norm = view.norm;
  return code;
}

Status reserve_new_slots(EngineState& state, std::uint64_t count) {
  const std::uint64_t need = std::uint64_t{state.id_pool.slot_count()} + count;
  // A file may already hold slots past the pool's count (see hold_slot).
  auto reserve = [need](LiveCodesFile& file) {
    return need > file.len() ? file.reserve(need - file.len()) : ok_status();
  };
  VELQ_RETURN_IF_ERROR(reserve(state.live_codes));
  if (state.live_vectors) VELQ_RETURN_IF_ERROR(reserve(*state.live_vectors));
  return ok_status();
}

Result<std::uint32_t> live_slot_for(EngineState& state, std::string_view id) {
  if (const std::optional<std::uint32_t> live = state.id_pool.get_slot(id)) return *live;
  return alloc_new_slot(state, id);
}

void live_write_code(EngineState& state, std::uint32_t slot,
                     std::span<const std::uint16_t> mse_indices,
                     std::span<const std::uint8_t> qjl_bits, float gamma, float norm) {
  const SlotLayout& layout = state.layout;
  const std::span<std::uint8_t> packed = thread_scratch<PackedIndicesTag, std::uint8_t>(
      packing::pack_size(mse_indices.size(), layout.n, layout.mse_bits));
  packing::pack_into(mse_indices, layout.n, layout.mse_bits, packed);
  live_write_packed_code(state, slot, packed, qjl_bits, gamma, norm);
}

void live_write_packed_code(EngineState& state, std::uint32_t slot,
                            std::span<const std::uint8_t> packed_mse,
                            std::span<const std::uint8_t> qjl_bits, float gamma, float norm,
                            std::optional<double> decoded_square) {
  const SlotLayout& layout = state.layout;
  // Fast-mode codes come with zero sign bytes that the slot does not keep.
  const std::span<const std::uint8_t> signs =
      layout.qjl_bytes == 0 ? std::span<const std::uint8_t>() : qjl_bits;
  write_code_slot(layout, state.live_codes.slot_mut(slot), packed_mse, signs, gamma, norm);
  update_blocked_codes(state, slot, decoded_square);
}

Result<std::uint32_t> live_alloc_or_update(EngineState& state, std::string_view id,
                                           std::span<const std::uint16_t> mse_indices,
                                           std::span<const std::uint8_t> qjl_bits, float gamma,
                                           float norm) {
  VELQ_ASSIGN_OR_RETURN(const std::uint32_t slot, live_slot_for(state, id));
  live_write_code(state, slot, mse_indices, qjl_bits, gamma, norm);
  return slot;
}

void live_save_raw_vector(EngineState& state, std::uint32_t slot, std::span<const float> values) {
  if (!state.live_vectors) return;
  write_raw_vector(state.manifest.rerank_precision, state.live_vectors->slot_mut(slot), values);
}

}  // namespace velq
