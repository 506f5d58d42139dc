// The write-ahead side of one open database: wal.log, the segment records of
// everything logged since the last flush, and the refusal of every later
// write once a log batch's outcome became unknown. Writes ask it whether they
// may proceed and hand it their entries; the flush takes its records. No lock
// of its own: callers hold the database's lock exclusively.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/log/segment.h"
#include "storage/log/wal.h"
#include "storage/log/wal_entry.h"

namespace velq {

class WriteLog {
 public:
  // `flush_threshold`: logged records at which a write call ends in a flush.
  WriteLog(Wal wal, std::size_t flush_threshold)
      : wal_(std::move(wal)), flush_threshold_(flush_threshold) {}

  // Refuses any write or delete once writes were refused (see below).
  Status check_writable() const {
    if (refusal_) return Error(*refusal_);
    return ok_status();
  }
  // Appends `entries` as one batch and keeps their segment records. When the
  // batch's outcome is unknown (ErrorKind::kUnsynced) it may come back at the
  // next open, so every later write is refused with the error's text until
  // the database is reopened.
  Status append(std::span<const WalEntry> entries) {
    Status appended = wal_.append_batch(entries, /*sync=*/false);
    if (!appended.ok()) {
      if (appended.error().kind() == ErrorKind::kUnsynced) refusal_ = appended.error().message();
      return appended;
    }
    note_replayed(entries);
    return ok_status();
  }
  // Keeps the segment records of entries the log already holds (replay).
  // No reserve to the exact size: one write at a time would then copy the
  // whole list every time instead of growing it geometrically.
  void note_replayed(std::span<const WalEntry> entries) {
    for (const WalEntry& e : entries) pending_.push_back({e.id, e.is_deleted});
  }
  // Refuses every later write with `why` until the database is reopened: a
  // change of the files that could not be finished here.
  void refuse_writes(std::string why) { refusal_ = std::move(why); }

  // Whether writes are refused.
  bool refused() const { return refusal_.has_value(); }
  std::size_t flush_threshold() const { return flush_threshold_; }
  // The segment records of what was logged since the last flush, in log
  // order.
  const std::vector<SegmentRecord>& pending() const { return pending_; }
  // Whether the logged records reached the flush threshold.
  bool flush_due() const { return pending_.size() >= flush_threshold_; }
  // Hands the segment records over to a flush.
  std::vector<SegmentRecord> take_pending() {
    std::vector<SegmentRecord> records = std::move(pending_);
    pending_.clear();
    return records;
  }
  // Empties wal.log once a flush made its records durable elsewhere.
  Status truncate() { return wal_.truncate(); }

 private:
  Wal wal_;
  // Logged since the last flush, as the segment records the flush writes:
  // the log holds the rest of each entry, so memory stays small however
  // long the flush waits.
  std::vector<SegmentRecord> pending_;
  std::size_t flush_threshold_;
  std::optional<std::string> refusal_;
};

}  // namespace velq
