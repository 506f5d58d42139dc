// Checks made at open, before anything is written, that the id pool about to
// be used holds every record the other files show was flushed. live_ids.bin
// alone says which ids are live: a pool rebuilt from the log alone, or
// decoded from a file that was zero-filled, would silently forget every
// earlier record, and the open's own flush would make the loss permanent.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "common/result.h"
#include "storage/log/segment.h"
#include "storage/log/wal_entry.h"
#include "storage/metadata/metadata_store.h"
#include "storage/slots/id_pool.h"

namespace velq {

// The refusal when live_ids.bin is missing and the log is empty, so nothing
// can rebuild the records that other files show.
inline constexpr std::string_view kPoolAndLogMissing =
    "live_ids.bin missing and WAL is empty; database state appears corrupt";

// Refuses, with kCorruption naming the file at fault and before anything is
// written, an open that would lose flushed records:
// - metadata.bin is missing (`metadata_exists` false) though the pool
//   loaded from live_ids.bin names flushed slots: a flush writes metadata.bin
//   before live_ids.bin, so its absence is damage;
// - the pool that replaying `log` over `loaded` gives (over an empty pool
//   when live_ids.bin does not exist) lacks a flushed record: metadata.bin
//   holds an entry for a slot it never handed out, or an id that the
//   segments and then the log leave live is not alive in it. Without
//   live_ids.bin and log entries the text is kPoolAndLogMissing.
// The segments hold every write ever flushed but take a pass over all of
// them, so they are read only when there is room for a loss: live_ids.bin is
// missing, or metadata.bin holds slots past the loaded pool (a flush cut off
// between the two files, or a damaged pool). A segment that does not decode
// shows nothing and is passed over; one that cannot be read fails the check.
Status check_flushed_records_kept(const std::optional<IdPool>& loaded, std::span<const WalEntry> log,
                                  const MetadataStore& metadata, bool metadata_exists,
                                  const SegmentManager& segments);

}  // namespace velq
