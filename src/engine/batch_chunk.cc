#include "engine/batch_chunk.h"

#include <unordered_set>

#include <algorithm>
#include <optional>
#include <string_view>

#include "common/worker_pool.h"
#include "engine/write_support.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

// Runs f(first, take) for each block of `block` rows (the last one
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

// The error of the first failed row, if any.
Status first_error(std::vector<std::optional<Error>>& errors) {
  for (std::optional<Error>& error : errors) {
    if (error) return std::move(*error);
  }
  return ok_status();
}

// The raw vector row i keeps: none for a replayed entry (replay restores it),
// else the caller's row or the unit row.
std::span<const float> raw_row(const PreparedChunk& chunk, std::size_t i, std::size_t d) {
  if (chunk.replayed) return {};
  const std::span<const float> rows =
      chunk.raws.empty() ? std::span<const float>(chunk.units) : chunk.raws;
  return rows.subspan(i * d, d);
}

}  // namespace

Result<std::size_t> check_chunk_ids(const EngineState& state, std::span<const std::string> ids,
                                    WriteMode mode) {
  std::unordered_set<std::string_view> new_ids;
  new_ids.reserve(ids.size());
  std::uint64_t new_bytes = 0;
  for (const std::string& id : ids) {
    const bool live = state.slots.ids().get_slot(id).has_value();
    if (mode == WriteMode::kInsert && live) return already_exists(id);
    if (mode == WriteMode::kUpdate && !live) return does_not_exist(id);
    if (live) continue;
    if (!new_ids.insert(id).second) {
      // The first occurrence makes the id live.
      if (mode == WriteMode::kInsert) return already_exists(id);
      continue;
    }
    VELQ_RETURN_IF_ERROR(state.slots.ids().check_new_id(id, new_ids.size() - 1, new_bytes));
    new_bytes += id.size();
  }
  return new_ids.size();
}

Result<PreparedChunk> prepare_chunk(const EngineState& state, WriteRows rows) {
  const std::size_t count = rows.count();
  const std::size_t d = state.d();
  const ProdQuantizer& quantizer = *state.quantizer;
  PreparedChunk chunk;
  chunk.units.resize(count * d);
  chunk.records.resize(count);
  chunk.entries.resize(count);
  if (state.slots.vectors().has_value() && !state.normalize) chunk.raws = rows.values;
  if (state.slots.norms().has_value()) chunk.decoded_squares.resize(count);
  std::vector<float> norms(count);
  std::vector<std::string> json(count);
  std::vector<std::optional<Error>> errors(count);
  // One task per block of rows takes them from the caller's matrix to
  // packed codes and log entries, so the rows stay in cache between steps
  // and the pool is started once per chunk.
  const std::size_t block = quantizer.batch_block_rows();
  for_each_block(count, block, [&](std::size_t first, std::size_t take) {
    bool usable = true;
    for (std::size_t i = first; i < first + take; ++i) {
      const std::span<const float> row = rows.values.subspan(i * d, d);
      const std::span<float> unit(chunk.units.data() + i * d, d);
      norms[i] = vector_norm(row);
      Status ok = unit_copy(row, norms[i], unit);
      if (ok.ok()) ok = check_raw_vector_range(state, row);
      if (ok.ok()) {
        chunk.records[i].metadata = VectorMetadata(std::move(rows.metadatas[i]), rows.documents[i]);
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
    const std::span<const float> units(chunk.units);
    quantizer.quantize_rows(units.subspan(first * d, take * d), codes,
                            chunk.decoded_squares.empty()
                                ? std::span<double>()
                                : std::span(chunk.decoded_squares).subspan(first, take));
    for (std::size_t i = first; i < first + take; ++i) {
      const float stored_norm = state.normalize ? 1.0f : norms[i];
      chunk.entries[i] = make_write_entry(state.slots.layout(), std::move(rows.ids[i]),
                                          std::move(codes[i - first]), stored_norm,
                                          std::move(json[i]));
    }
  });
  VELQ_RETURN_IF_ERROR(first_error(errors));
  return chunk;
}

Result<PreparedChunk> replayed_chunk(WalEntry entry) {
  PreparedChunk chunk;
  chunk.replayed = true;
  chunk.records.resize(1);
  VELQ_ASSIGN_OR_RETURN(chunk.records[0].metadata, metadata_from_json(entry.metadata_json));
  chunk.entries.push_back(std::move(entry));
  return chunk;
}

Status commit_chunk(EngineState& state, PreparedChunk chunk, std::size_t new_ids) {
  if (!chunk.replayed) {
    // A full disk refuses the chunk here, before anything is logged.
    VELQ_RETURN_IF_ERROR(state.slots.reserve_new(new_ids));
    VELQ_RETURN_IF_ERROR(state.log.append(chunk.entries));
  }
  // Slots are taken in row order, one at a time; a failed growth stops the
  // taking, but the rows before it are still written.
  const std::size_t count = chunk.entries.size();
  std::vector<std::uint32_t> slots;
  slots.reserve(count);
  Status taken = ok_status();
  for (const WalEntry& entry : chunk.entries) {
    Result<std::uint32_t> slot = state.slots.slot_for(entry.id);
    if (!slot.ok()) {
      taken = std::move(slot).error();
      break;
    }
    slots.push_back(*slot);
  }
  const std::size_t d = state.d();
  state.slots.write_slots(slots, [&](std::size_t i) {
    const WalEntry& entry = chunk.entries[i];
    return SlotWrite{entry.packed_mse, entry.qjl_bits, entry.gamma, entry.norm,
                     raw_row(chunk, i, d),
                     chunk.decoded_squares.empty()
                         ? std::nullopt
                         : std::optional<double>(chunk.decoded_squares[i])};
  });
  VELQ_RETURN_IF_ERROR(taken);
  for (std::size_t i = 0; i < count; ++i) chunk.records[i].slot = slots[i];
  VELQ_RETURN_IF_ERROR(state.metadata.put_many(chunk.records));
  // A replay ends in a flush, which sets any index aside.
  if (!chunk.replayed) state.index.note_written(slots);
  return ok_status();
}

}  // namespace velq
