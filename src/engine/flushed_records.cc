#include "engine/flushed_records.h"

#include <string>
#include <unordered_map>

namespace velq {

namespace {

constexpr const char* kLeftAsItWas = "; the database was left as it is";

// The refusal for a pool that lacks flushed records, `what` saying which.
Error records_lost(bool pool_missing, std::span<const WalEntry> log, const std::string& what) {
  if (pool_missing && log.empty()) return Error::corruption(std::string(kPoolAndLogMissing));
  const char* pool = pool_missing ? "live_ids.bin is missing: "
                                  : "live_ids.bin does not name every flushed record: ";
  return Error::corruption(pool + what + kLeftAsItWas);
}

// Whether each id the segments name is live once they, then the log, are
// applied in order.
Result<std::unordered_map<std::string, bool>> live_by_segments(const SegmentManager& segments,
                                                               std::span<const WalEntry> log) {
  std::unordered_map<std::string, bool> live;
  for (const Segment& segment : segments.segments()) {
    Result<std::vector<SegmentRecord>> records = segments.read_records(segment);
    if (!records.ok()) {
      if (records.error().kind() == ErrorKind::kIo) return std::move(records).error();
      continue;
    }
    for (SegmentRecord& r : *records) live.insert_or_assign(std::move(r.id), !r.is_deleted);
  }
  for (const WalEntry& e : log) {
    if (const auto it = live.find(e.id); it != live.end()) it->second = !e.is_deleted;
  }
  return live;
}

// The pool that replaying `log` over `loaded` gives, computed in memory.
Result<IdPool> pool_after_log(const std::optional<IdPool>& loaded, std::span<const WalEntry> log) {
  IdPool pool = loaded.value_or(IdPool());
  for (const WalEntry& e : log) {
    if (e.is_deleted) {
      pool.delete_by_id(e.id);
    } else {
      Result<std::uint32_t> slot = pool.insert(e.id);
      if (!slot.ok()) return std::move(slot).error();
    }
  }
  return pool;
}

// metadata.bin's entries in slots at or past `slots`.
std::size_t entries_beyond(const MetadataStore& metadata, std::uint32_t slots) {
  // Entries are sorted by slot: those past the pool's last slot are the tail.
  std::size_t beyond = 0;
  for (auto it = metadata.entries().rbegin(); it != metadata.entries().rend() && it->slot >= slots;
       ++it) {
    ++beyond;
  }
  return beyond;
}

Status check_pool(const IdPool& pool, bool pool_missing, const MetadataStore& metadata,
                  const SegmentManager& segments, std::span<const WalEntry> log) {
  if (const std::size_t beyond = entries_beyond(metadata, pool.slot_count()); beyond > 0) {
    return records_lost(pool_missing, log,
                        "metadata.bin holds records in " + std::to_string(beyond) +
                            " slots beyond the " + std::to_string(pool.slot_count()) +
                            " it accounts for");
  }
  VELQ_ASSIGN_OR_RETURN(const auto live, live_by_segments(segments, log));
  std::size_t lost = 0;
  const std::string* example = nullptr;
  for (const auto& [id, is_live] : live) {
    if (!is_live || pool.get_slot(id).has_value()) continue;
    ++lost;
    example = &id;
  }
  if (lost == 0) return ok_status();
  return records_lost(pool_missing, log,
                      std::to_string(lost) + " records that the segments hold as live are not in it" +
                          " (one is \"" + *example + "\")");
}

}  // namespace

Status check_flushed_records_kept(const std::optional<IdPool>& loaded, std::span<const WalEntry> log,
                                  const MetadataStore& metadata, bool metadata_exists,
                                  const SegmentManager& segments) {
  if (!metadata_exists && loaded.has_value() && loaded->slot_count() > 0) {
    return Error::corruption("metadata.bin is missing but live_ids.bin names " +
                             std::to_string(loaded->slot_count()) + " flushed slots" + kLeftAsItWas);
  }
  const bool pool_missing = !loaded.has_value();
  // A loaded pool that covers every slot of metadata.bin is what an open
  // after a close or an ordinary crash finds: nothing shows a loss, and
  // neither the pool is copied nor a segment read.
  if (!pool_missing && entries_beyond(metadata, loaded->slot_count()) == 0) return ok_status();
  if (log.empty()) {
    const IdPool none;
    return check_pool(pool_missing ? none : *loaded, pool_missing, metadata, segments, log);
  }
  VELQ_ASSIGN_OR_RETURN(const IdPool replayed, pool_after_log(loaded, log));
  return check_pool(replayed, pool_missing, metadata, segments, log);
}

}  // namespace velq
