// The two halves of writing one chunk of a batch: the parallel half that
// turns items into log entries (normalise, serialise metadata, quantize) and
// the serial half that logs them and writes slots, raw vectors, metadata and
// the delta list. Kept apart so that each can be measured on its own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "engine/engine_state.h"
#include "engine/engine_types.h"
#include "storage/log/wal_entry.h"
#include "storage/metadata/metadata_entry.h"

namespace velq {

// Items per chunk: one log append and one metadata pass each.
inline constexpr std::size_t kBatchChunkItems = 5000;
// Chunks with more items than this have their slots written on the worker pool.
inline constexpr std::size_t kBatchParallelAbove = 512;

struct PreparedChunk {
  std::vector<WalEntry> entries;       // one per item, in item order
  std::vector<MetadataEntry> records;  // slots filled in by commit_chunk
  std::vector<float> units;            // unit-length rows, d values each
  std::vector<std::uint8_t> packed;    // the entries' packed indices, M bytes each
  std::vector<std::vector<float>> originals;  // the items' vectors, when they are the raw vectors kept
  std::vector<double> decoded_squares;  // each code's ‖x̂‖², when the engine keeps them
};

// Refuses the chunk before anything is written: an id live in insert mode
// or absent in update mode, an id given twice in insert mode, or a new id the
// id pool would refuse once the chunk's earlier new ids were taken. Returns
// how many distinct new ids the chunk holds.
Result<std::size_t> check_chunk_ids(const EngineState& state, std::span<const BatchWriteItem> items,
                       WriteMode mode);

// Moves the items' parts into log entries. Fails, in item order, on an
// unusable vector or metadata that cannot be serialised.
Result<PreparedChunk> prepare_chunk(const EngineState& state, std::span<BatchWriteItem> items);

// Reserves storage for the slots of the chunk's `new_ids` new ids, logs the
// chunk with one append, then writes its slots, raw vectors and metadata and
// records the written slots in the delta list.
Status commit_chunk(EngineState& state, PreparedChunk chunk, std::size_t new_ids);

}  // namespace velq
