// Opening a database: creating a new one, or reading an existing one back and
// bringing it up to date with its log.
#pragma once

#include <memory>

#include "common/result.h"
#include "engine/state/engine_options.h"
#include "engine/state/engine_state.h"
#include "storage/log/wal_entry.h"

namespace velq {

Result<std::unique_ptr<EngineState>> open_engine_state(const EngineOptions& options);

// The exclusive lock of the database directory `dir`; held elsewhere, the
// error says the directory is open in another process (kBusy).
Result<std::unique_ptr<FileLock>> lock_directory(FileSystem& fs, const std::string& dir);

// An existing database opens only with its own dimension, bits and metric.
Status check_matches(const Manifest& manifest, const EngineOptions& options);

// Applies replayed log entries to the live state (slots, id pool, metadata),
// from scratch when `full_rebuild` is set.
Status apply_wal_entries_to_live_state(EngineState& state, const std::vector<WalEntry>& entries,
                                       bool full_rebuild);

}  // namespace velq
