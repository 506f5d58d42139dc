// The one path every write of a record takes, in chunks: a batch in chunks
// of kBatchChunkItems rows, a single write as a chunk of one row, and each
// write the log replays at open as a chunk of one already logged entry.
// check_chunk_ids refuses a chunk before anything is written; prepare_chunk,
// the parallel half, turns rows into log entries (normalise, serialise the
// metadata, quantize, pack); commit_chunk, the serial half, logs them and
// writes slots, raw vectors, metadata and the delta list. Kept apart so that
// each can be measured on its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"
#include "storage/log/wal_entry.h"
#include "storage/metadata/metadata_entry.h"

namespace velq {

// Rows per chunk: one log append and one metadata pass each.
inline constexpr std::size_t kBatchChunkItems = 5000;

struct PreparedChunk {
  std::vector<WalEntry> entries;       // one per row, in row order, codes packed
  std::vector<MetadataEntry> records;  // slots filled in by commit_chunk
  std::vector<float> units;            // unit-length rows, d values each
  // The caller's rows, when they are the raw vectors kept (else the unit
  // rows are, when raw vectors are kept at all).
  std::span<const float> raws;
  // Entries the log holds already (replay): not logged again, and their raw
  // vectors are the replay's to restore.
  bool replayed = false;
  // Each code's ‖x̂‖² from the making of the code, when the slot store keeps
  // reconstruction norms (empty for a replayed entry: the store decodes it).
  std::vector<double> decoded_squares;
};

// Refuses the chunk before anything is written: an id live in insert mode
// or absent in update mode, an id given twice in insert mode, or a new id the
// id pool would refuse once the chunk's earlier new ids were taken. Returns
// how many distinct new ids the chunk holds.
Result<std::size_t> check_chunk_ids(const EngineState& state, std::span<const std::string> ids,
                                    WriteMode mode);

// Moves the rows' ids and metadata into log entries. Fails, in row order, on
// an unusable vector or metadata that cannot be serialised.
Result<PreparedChunk> prepare_chunk(const EngineState& state, WriteRows rows);

// A chunk of one write entry read back from the log. Fails when its metadata
// does not parse.
Result<PreparedChunk> replayed_chunk(WalEntry entry);

// Reserves storage for the slots of the chunk's `new_ids` new ids, logs the
// chunk with one append, then writes its slots, raw vectors and metadata and
// records the written slots in the delta list.
Status commit_chunk(EngineState& state, PreparedChunk chunk, std::size_t new_ids);

}  // namespace velq
