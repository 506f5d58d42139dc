#include "engine/live_compaction.h"


#include <cstring>
#include <optional>
#include <vector>

#include "engine/compaction_switch.h"
#include "engine/persist.h"
#include "storage/metadata/metadata_file.h"
#include "storage/io/file_io.h"

namespace velq {

namespace {

// What the live state becomes once the switch is made.
struct Compacted {
  IdPool pool;
  std::vector<MetadataEntry> metadata;
  std::vector<std::uint32_t> old_slots;  // new slot i held old slot old_slots[i]
};

Compacted renumber(const EngineState& state) {
  Compacted out;
  for (const auto& [id, old_slot] : state.slots.ids().iter_active()) {
    // Ids come from the pool that holds them, so the fresh pool takes each.
    static_cast<void>(out.pool.insert(id));
    const auto new_slot = static_cast<std::uint32_t>(out.old_slots.size());
    if (std::optional<VectorMetadata> stored = state.metadata.get(old_slot)) {
      out.metadata.push_back(MetadataEntry{new_slot, std::move(*stored)});
    }
    out.old_slots.push_back(old_slot);
  }
  return out;
}

// Writes the renumbered slots of `from` into its staged file, synced.
Status stage_slot_file(const EngineState& state, const LiveCodesFile& from,
                       std::string_view name, std::span<const std::uint32_t> old_slots) {
  VELQ_ASSIGN_OR_RETURN(LiveCodesFile staged,
                        LiveCodesFile::open(state.fs, staged_path(state.local_dir, name),
                                            from.stride()));
  VELQ_RETURN_IF_ERROR(staged.clear());
  // Storage for every copied slot first: a full disk fails the compaction
  // here, before a single store into the mapping.
  VELQ_RETURN_IF_ERROR(staged.reserve(old_slots.size()));
  VELQ_RETURN_IF_ERROR(staged.truncate_to(old_slots.size()));
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    const std::span<const std::uint8_t> source = from.slot(old_slots[i]);
    std::memcpy(staged.slot_mut(i).data(), source.data(), source.size());
  }
  return staged.flush();
}

Status stage_all(const EngineState& state, const Compacted& next) {
  VELQ_RETURN_IF_ERROR(
      stage_slot_file(state, state.slots.codes(), db_files::kLiveCodes, next.old_slots));
  if (state.slots.vectors()) {
    VELQ_RETURN_IF_ERROR(
        stage_slot_file(state, *state.slots.vectors(), db_files::kLiveVectors, next.old_slots));
  }
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> image,
                        encode_metadata_file(next.metadata));
  VELQ_RETURN_IF_ERROR(
      write_file_atomic(*state.fs, staged_path(state.local_dir, db_files::kMetadata), image));
  return write_file_atomic(*state.fs, staged_path(state.local_dir, db_files::kLiveIds),
                           next.pool.serialize());
}

// Commits the switch, makes it and installs the new numbering in memory.
// Past the commit point a failure cannot be undone here: the state refuses
// writes and the next open finishes the switch.
Status switch_and_install(EngineState& state, Compacted next) {
  std::vector<std::string_view> names = {db_files::kLiveCodes};
  if (state.slots.vectors()) names.push_back(db_files::kLiveVectors);
  names.push_back(db_files::kMetadata);
  names.push_back(db_files::kLiveIds);
  VELQ_RETURN_IF_ERROR(write_compaction_switch(*state.fs, state.local_dir, names));
  Status installed = state.slots.adopt_compacted(state.fs, std::move(next.pool), [&] {
    return finish_interrupted_compaction(*state.fs, state.local_dir);
  });
  if (!installed.ok()) {
    state.log.refuse_writes("live-file compaction did not finish (" + installed.error().message() +
                            "); reopen the database");
    return installed;
  }
  // The switch put the staged metadata.bin in place: it holds these entries.
  state.metadata.replace_all(std::move(next.metadata), MetadataStore::Written::kAlready);
  return ok_status();
}

}  // namespace

Status compact_live_files(EngineState& state) {
  // Leftovers of an earlier run: an unfinished switch is finished (its
  // files match the state that opened them), stale staged files go.
  VELQ_RETURN_IF_ERROR(finish_interrupted_compaction(*state.fs, state.local_dir));
  Compacted next = renumber(state);
  VELQ_RETURN_IF_ERROR(stage_all(state, next));
  return switch_and_install(state, std::move(next));
}

}  // namespace velq
