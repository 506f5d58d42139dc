// Recovery of an interrupted segment compaction, run once when a database
// opens, before the segment manager lists the segments. The state file
// compaction_state.json names the old segments being replaced, the one new
// segment replacing them and the phase reached; recovery finishes or undoes
// the replacement so that either the old segments or the new one remain.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/backend.h"

namespace velq {

enum class CompactionPhase { kPrepared, kCommitted };

struct CompactionState {
  CompactionPhase phase = CompactionPhase::kPrepared;
  std::vector<std::string> old_segment_names;
  std::string new_segment_name;
};

inline constexpr const char* kCompactionStateKey = "compaction_state.json";

// Decodes compaction_state.json: an object with "phase" ("prepared" or
// "committed"), "old_segment_names" and "new_segment_name" (other keys
// skipped), or the same three values as an array. Every name must be a
// segment key ("seg-*.bin" at the storage root): the recovery deletes what
// the file names, so a state naming any other file is refused.
Result<CompactionState> parse_compaction_state(std::span<const std::uint8_t> bytes);

class Compactor {
 public:
  // `max_segments` is kept for the engine's sake; recovery does not use it.
  Compactor(std::shared_ptr<const StorageBackend> backend, std::uint64_t max_segments)
      : backend_(std::move(backend)), max_segments_(max_segments) {}

  // Deletes leftover "seg-*.tmp" files, then resolves a state file if one
  // exists: true when it did. Provider errors of the listing, the deletes
  // of leftovers and of the state file, and any read error other than "no
  // such file" are returned; a file that could not be read is never
  // deleted.
  Result<bool> recover_if_needed();

  std::uint64_t max_segments() const { return max_segments_; }

 private:
  Status remove_leftovers();
  // Keeps the new segment and drops the old ones when the new one verifies;
  // drops the new one when it was read and does not verify.
  Status resolve_prepared(const CompactionState& state);

  std::shared_ptr<const StorageBackend> backend_;
  std::uint64_t max_segments_;
};

}  // namespace velq
