// Turning buffered writes into durable state: a segment of (id, deleted)
// records, the live files compacted when deletions are pending, metadata.bin
// and live_ids.bin written, then the log emptied, the live files pushed to
// the provider and the index dropped.
#pragma once

#include <string>

#include "common/result.h"
#include "engine/engine_state.h"
#include "storage/io/file_system.h"

namespace velq {

// Nothing pending: only a dirty metadata store is written (no segment, the
// log and the index stay).
Status flush_wal_to_segment(EngineState& state);

}  // namespace velq
