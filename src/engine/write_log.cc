#include "engine/write_log.h"

namespace velq {

Status WriteLog::check_writable() const {
  if (refusal_) return Error(*refusal_);
  return ok_status();
}

Status WriteLog::append(std::span<const WalEntry> entries) {
  Status appended = wal_.append_batch(entries, /*sync=*/false);
  if (!appended.ok()) {
    if (appended.error().kind() == ErrorKind::kUnsynced) refusal_ = appended.error().message();
    return appended;
  }
  note_replayed(entries);
  return ok_status();
}

void WriteLog::note_replayed(std::span<const WalEntry> entries) {
  // No reserve to the exact size: one write at a time would then copy the
  // whole list every time instead of growing it geometrically.
  for (const WalEntry& e : entries) pending_.push_back({e.id, e.is_deleted});
}

std::vector<SegmentRecord> WriteLog::take_pending() {
  std::vector<SegmentRecord> records = std::move(pending_);
  pending_.clear();
  return records;
}

}  // namespace velq
