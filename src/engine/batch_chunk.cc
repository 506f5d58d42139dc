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
#include "quantizer/packing.h"
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

// Runs f(first, take) for each block of `block` items (the last one
// shorter), on the pool when there is more than one block: a block is the
// quantizer's unit of work, long enough (milliseconds with a dense rotation
// at large d) to pay for starting the pool many times over.
template <typename F>
void for_each_block(std::size_t count, std::size_t block, F&& f) {
  const std::size_t blocks = (count + block - 1) / block;
  auto run = [&](std::size_t b) { f(b * block, std::min(block, count - b * block)); };
  if (blocks > 1) {
    parallel_for_each(blocks, 1, run);
  } else {
    for (std::size_t b = 0; b < blocks; ++b) run(b);
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

// Frees an entry's code buffers when it goes.
struct ReleaseCode {
  WalEntry& entry;
  ~ReleaseCode() {
    std::vector<std::uint16_t>().swap(entry.mse_indices);
    std::vector<std::uint8_t>().swap(entry.qjl_bits);
    std::string().swap(entry.metadata_json);
  }
};

// Writes the codes and raw vectors of the chunk's first slots.size() items
// into their slots. Each slot is written once, by its last item, so the
// writes run side by side and give what writing them in order gives. The
// log holds the entries already, so their codes are released here, on the
// pool, instead of one by one on the calling thread when the chunk goes.
void write_slots(EngineState& state, PreparedChunk& chunk, std::span<const std::uint32_t> slots) {
  if (slots.empty()) return;
  cover_blocked_codes(state, *std::max_element(slots.begin(), slots.end()) + 1);
  const std::vector<char> last = last_writes(slots);
  const std::size_t d = state.d();
  for_each_item(slots.size(), [&](std::size_t i) {
    WalEntry& entry = chunk.entries[i];
    const ReleaseCode release{entry};
    if (last[i] == 0) return;
    const std::size_t packed_len = state.layout.mse_bytes;
    live_write_packed_code(state, slots[i],
                           std::span(chunk.packed).subspan(i * packed_len, packed_len),
                           entry.qjl_bits, entry.gamma, entry.norm,
                           chunk.decoded_squares.empty()
                               ? std::nullopt
                               : std::optional<double>(chunk.decoded_squares[i]));
    live_save_raw_vector(state, slots[i],
                         chunk.originals.empty()
                             ? std::span<const float>(chunk.units.data() + i * d, d)
                             : std::span<const float>(chunk.originals[i]));
  });
}

}  // namespace

Result<std::size_t> check_chunk_ids(const EngineState& state, std::span<const BatchWriteItem> items,
                       WriteMode mode) {
  std::unordered_set<std::string_view> new_ids;
  new_ids.reserve(items.size());
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
  return new_ids.size();
}

Result<PreparedChunk> prepare_chunk(const EngineState& state, std::span<BatchWriteItem> items) {
  const std::size_t count = items.size();
  const std::size_t d = state.d();
  const std::size_t packed_len = state.layout.mse_bytes;
  const bool keep_originals = state.live_vectors.has_value() && !state.normalize;
  const ProdQuantizer& quantizer = *state.quantizer;
  PreparedChunk chunk;
  chunk.units.resize(count * d);
  chunk.packed.resize(count * packed_len);
  chunk.records.resize(count);
  chunk.entries.resize(count);
  if (keep_originals) chunk.originals.resize(count);
  if (state.reconstruction_norms.has_value()) chunk.decoded_squares.resize(count);
  std::vector<float> norms(count);
  std::vector<std::string> json(count);
  std::vector<std::optional<Error>> errors(count);
  // One task per block of rows takes them from the caller's vectors to
  // packed codes and log entries, so the rows stay in cache between steps
  // and the pool is started once per chunk.
  const std::size_t block = quantizer.batch_block_rows();
  for_each_block(count, block, [&](std::size_t first, std::size_t take) {
    bool usable = true;
    for (std::size_t i = first; i < first + take; ++i) {
      BatchWriteItem& item = items[i];
      const std::span<float> unit(chunk.units.data() + i * d, d);
      norms[i] = vector_norm(item.vector);
      Status ok = unit_copy(item.vector, norms[i], unit);
      if (ok.ok()) ok = check_raw_vector_range(state, item.vector);
      if (ok.ok()) {
        chunk.records[i].metadata = VectorMetadata(std::move(item.metadata), item.document);
        json[i].reserve(128);
        ok = append_metadata_json(json[i], chunk.records[i].metadata);
      }
      if (!ok.ok()) {
        errors[i] = std::move(ok).error();
        usable = false;
      }
    }
    if (!usable) return;  // the chunk is refused: its codes are never used
    std::vector<EncodedVector> codes(take);
    quantizer.quantize_rows(std::span<const float>(chunk.units).subspan(first * d, take * d), codes,
                            chunk.decoded_squares.empty()
                                ? std::span<double>()
                                : std::span(chunk.decoded_squares).subspan(first, take));
    for (std::size_t i = first; i < first + take; ++i) {
      const float stored_norm = state.normalize ? 1.0f : norms[i];
      chunk.entries[i] = make_write_entry(std::move(items[i].id), std::move(codes[i - first]),
                                          stored_norm, std::move(json[i]));
      packing::pack_into(chunk.entries[i].mse_indices, state.layout.n, state.layout.mse_bits,
                         std::span(chunk.packed).subspan(i * packed_len, packed_len));
      if (keep_originals) chunk.originals[i] = std::move(items[i].vector);
    }
  });
  VELQ_RETURN_IF_ERROR(first_error(errors));
  return chunk;
}

Status commit_chunk(EngineState& state, PreparedChunk chunk, std::size_t new_ids) {
  // A full disk refuses the chunk here, before anything is logged.
  VELQ_RETURN_IF_ERROR(reserve_new_slots(state, new_ids));
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
  state.index.note_written(slots);
  return ok_status();
}

}  // namespace velq
