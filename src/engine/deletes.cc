#include "engine/deletes.h"

#include "engine/slot_layout.h"
#include "engine/write_support.h"
#include "storage/metadata/filter.h"

namespace velq {

namespace {

WalEntry deletion_entry(const std::string& id) {
  WalEntry entry;
  entry.id = id;
  entry.metadata_json = "{}";
  entry.is_deleted = true;
  return entry;
}

// Logs the deletion of one live id, then forgets it and flags its slot.
Status delete_live_id(EngineState& state, const std::string& id) {
  WalEntry entry = deletion_entry(id);
  VELQ_RETURN_IF_ERROR(log_entries(state, std::span(&entry, 1)));
  state.pending.push_back({std::move(entry.id), true});
  const std::optional<std::uint32_t> slot = state.id_pool.delete_by_id(id);
  mark_slot_deleted(state.layout, state.live_codes.slot_mut(*slot));
  return ok_status();
}

// What every deletion leaves behind: slots to compact and no index.
void note_deletions(EngineState& state) {
  state.needs_compaction = true;
  state.index.drop();
}

}  // namespace

Result<bool> delete_id(EngineState& state, const std::string& id) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  if (!state.id_pool.get_slot(id)) return false;
  VELQ_RETURN_IF_ERROR(delete_live_id(state, id));
  note_deletions(state);
  VELQ_RETURN_IF_ERROR(finish_operations(state, 1));
  return true;
}

Result<std::uint64_t> delete_batch(EngineState& state, const std::vector<std::string>& ids) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  std::uint64_t deleted = 0;
  for (const std::string& id : ids) {
    if (!state.id_pool.get_slot(id)) continue;
    if (Status status = delete_live_id(state, id); !status.ok()) {
      // The ids deleted so far stay deleted: their slots still need
      // compacting and the index no longer matches them.
      if (deleted > 0) note_deletions(state);
      return std::move(status).error();
    }
    ++deleted;
  }
  if (deleted == 0) return std::uint64_t{0};
  note_deletions(state);
  VELQ_RETURN_IF_ERROR(finish_operations(state, deleted));
  return deleted;
}

Result<std::uint64_t> delete_where(EngineState& state, const JsonObject& filter) {
  VELQ_RETURN_IF_ERROR(check_writable(state));
  const std::vector<std::pair<std::string, std::uint32_t>> active = state.id_pool.iter_active();
  std::vector<std::uint32_t> slots;
  slots.reserve(active.size());
  for (const auto& [id, slot] : active) slots.push_back(slot);
  const auto stored = state.metadata.get_many(slots);
  std::vector<std::string> matching;
  for (const auto& [id, slot] : active) {
    const auto it = stored.find(slot);
    if (it != stored.end() && filter::metadata_matches_filter(it->second.properties, filter)) {
      matching.push_back(id);
    }
  }
  return delete_batch(state, matching);
}

}  // namespace velq
