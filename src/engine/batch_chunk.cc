#include "engine/batch_chunk.h"

#include <unordered_set>

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

#include "common/worker_pool.h"
#include "engine/blocked_mirror.h"
#include "engine/slot_writes.h"
#include "engine/write_support.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

// Runs f(i) for every item, on the pool when the chunk is large.
template <typename F>
void for_each_item(std::size_t count, F&& f) {
  if (count > kBatchParallelAbove) {
    parallel_for_each(count, 64, f);
  } else {
    for (std::size_t i = 0; i < count; ++i) f(i);
  }
}

// The error of the first failed item, if any.
Status first_error(std::vector<std::optional<Error>>& errors) {
  for (std::optional<Error>& error : errors) {
    if (error) return std::move(*error);
  }
  return ok_status();
}

// For each slot, whether it is the last time the list names it: only that
// write of a slot is kept, as if the writes ran one after another.
std::vector<char> last_writes(std::span<const std::uint32_t> slots) {
  std::vector<char> last(slots.size(), 1);
  // New records take ascending slots: then no slot repeats.
  if (std::adjacent_find(slots.begin(), slots.end(), std::greater_equal<>()) == slots.end()) {
    return last;
  }
  std::unordered_set<std::uint32_t> later;
  for (std::size_t i = slots.size(); i-- > 0;) last[i] = later.insert(slots[i]).second ? 1 : 0;
  return last;
}

// Writes the codes and raw vectors of the chunk's first slots.size() items
// into their slots. Each slot is written once, by its last item, so the
// writes run side by side and give what writing them in order gives.
void write_slots(EngineState& state, const PreparedChunk& chunk,
                 std::span<const std::uint32_t> slots) {
  if (slots.empty()) return;
  cover_blocked_codes(state, *std::max_element(slots.begin(), slots.end()) + 1);
  const std::vector<char> last = last_writes(slots);
  const std::size_t d = state.d;
  for_each_item(slots.size(), [&](std::size_t i) {
    if (last[i] == 0) return;
    const WalEntry& entry = chunk.entries[i];
    live_write_code(state, slots[i], entry.mse_indices, entry.qjl_bits, entry.gamma, entry.norm);
    live_save_raw_vector(state, slots[i],
                         chunk.originals.empty()
                             ? std::span<const float>(chunk.units.data() + i * d, d)
                             : std::span<const float>(chunk.originals[i]));
  });
}

}  // namespace

Status check_chunk_ids(const EngineState& state, std::span<const BatchWriteItem> items,
                       WriteMode mode) {
  std::unordered_set<std::string_view> new_ids;
  std::uint64_t new_bytes = 0;
  for (const BatchWriteItem& item : items) {
    const bool live = state.id_pool.get_slot(item.id).has_value();
    if (mode == WriteMode::kInsert && live) return already_exists(item.id);
    if (mode == WriteMode::kUpdate && !live) return does_not_exist(item.id);
    if (live) continue;
    if (!new_ids.insert(item.id).second) {
      // The first occurrence makes the id live.
      if (mode == WriteMode::kInsert) return already_exists(item.id);
      continue;
    }
    VELQ_RETURN_IF_ERROR(state.id_pool.check_new_id(item.id, new_ids.size() - 1, new_bytes));
    new_bytes += item.id.size();
  }
  return ok_status();
}

Result<PreparedChunk> prepare_chunk(const EngineState& state, std::span<BatchWriteItem> items) {
  const std::size_t count = items.size();
  const std::size_t d = state.d;
  const bool keep_originals = state.live_vectors.has_value() && !state.normalize;
  PreparedChunk chunk;
  chunk.units.resize(count * d);
  chunk.records.resize(count);
  std::vector<float> norms(count);
  std::vector<std::string> json(count);
  std::vector<std::optional<Error>> errors(count);
  for_each_item(count, [&](std::size_t i) {
    BatchWriteItem& item = items[i];
    const std::span<float> unit(chunk.units.data() + i * d, d);
    norms[i] = vector_norm(item.vector);
    Status ok = unit_copy(item.vector, norms[i], unit);
    if (ok.ok()) {
      chunk.records[i].metadata = VectorMetadata(std::move(item.metadata), item.document);
      json[i].reserve(128);
      ok = append_metadata_json(json[i], chunk.records[i].metadata);
    }
    if (!ok.ok()) errors[i] = std::move(ok).error();
  });
  VELQ_RETURN_IF_ERROR(first_error(errors));

  std::vector<EncodedVector> codes = state.quantizer->quantize_batch(chunk.units);
  chunk.entries.resize(count);
  if (keep_originals) chunk.originals.resize(count);
  for_each_item(count, [&](std::size_t i) {
    const float stored_norm = state.normalize ? 1.0f : norms[i];
    chunk.entries[i] =
        make_write_entry(std::move(items[i].id), std::move(codes[i]), stored_norm, std::move(json[i]));
    if (keep_originals) chunk.originals[i] = std::move(items[i].vector);
  });
  return chunk;
}

Status commit_chunk(EngineState& state, PreparedChunk chunk) {
  VELQ_RETURN_IF_ERROR(log_entries(state, chunk.entries));
  // Slots are taken in item order, one at a time; a failed growth stops the
  // taking, but the items before it are still written.
  const std::size_t count = chunk.entries.size();
  std::vector<std::uint32_t> slots;
  slots.reserve(count);
  Status taken = ok_status();
  for (const WalEntry& entry : chunk.entries) {
    Result<std::uint32_t> slot = live_slot_for(state, entry.id);
    if (!slot.ok()) {
      taken = std::move(slot).error();
      break;
    }
    slots.push_back(*slot);
  }
  write_slots(state, chunk, slots);
  VELQ_RETURN_IF_ERROR(taken);
  for (std::size_t i = 0; i < count; ++i) chunk.records[i].slot = slots[i];
  for (WalEntry& entry : chunk.entries) state.pending.push_back({std::move(entry.id), false});
  VELQ_RETURN_IF_ERROR(state.metadata.put_many(chunk.records));
  for (const MetadataEntry& record : chunk.records) {
    note_delta_slot(state, record.slot);
  }
  return ok_status();
}

}  // namespace velq
