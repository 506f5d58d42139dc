// Per-slot metadata of one database, with its two secondary indexes over the
// values of top-level properties:
//   equality: property name -> index key (value_to_index_key) -> slots
//   range:    property name -> order key (number_order_key), ascending -> slots
// Slot lists are ascending without duplicates, so the engine can intersect
// them with a linear merge. The indexes live in memory only: open and
// replace_all rebuild them, put keeps them in step. Emptied lists stay, so a
// value once seen answers "no slots" rather than "cannot answer".
//
// Entries are kept in one vector sorted by slot (compact, binary-searched;
// the engine allocates slots in ascending order, so a new slot appends).
//
// No lock of its own: the engine's reader-writer lock guards it. Readers
// never change it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "storage/io/file_system.h"
#include "storage/metadata/key_table.h"
#include "storage/metadata/metadata_entry.h"
#include "storage/metadata/metadata_keys.h"
#include "storage/metadata/slot_list.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

class MetadataStore {
 public:
  // Loads metadata.bin at `path` (creating its parent directory). Only a
  // missing file gives an empty store; a file that cannot be read or decoded
  // is an error (kIo, kCorruption).
  static Result<MetadataStore> open(std::shared_ptr<FileSystem> fs, const std::string& path);

  std::optional<VectorMetadata> get(std::uint32_t slot) const;
  // The requested slots that have an entry (each once).
  std::unordered_map<std::uint32_t, VectorMetadata> get_many(std::span<const std::uint32_t> slots) const;

  // Stores a copy. Refuses metadata nested too deeply to be read back.
  Status put(std::uint32_t slot, const VectorMetadata& metadata);
  // put for each item in order; stops at the first refusal (earlier items stay).
  Status put_many(std::span<const MetadataEntry> items);
  // Replaces everything (after the engine renumbers slots). Of entries for
  // the same slot the last stays. `stored` says metadata.bin already holds
  // exactly these entries (a compaction wrote and switched it in), so the
  // store is left clean instead of being written again.
  enum class Written : bool { kNo, kAlready };
  void replace_all(std::vector<MetadataEntry> entries, Written stored = Written::kNo);

  // Rewrites metadata.bin when anything changed since open or the last flush.
  Status flush();

  // Slots whose top-level `field` equals `value`: nothing when the index
  // cannot answer (array or object value, unknown field), an empty list when
  // the field is known but no slot holds the value. Valid until the next change.
  std::optional<std::span<const std::uint32_t>> get_eq_candidates(std::string_view field,
                                                                  const JsonValue& value) const;
  // Slots whose top-level numeric `field` lies within the bounds; nothing when
  // the index cannot answer or no slot lies in the range.
  std::optional<std::vector<std::uint32_t>> get_range_candidates(std::string_view field, RangeBound lower,
                                                                  RangeBound upper) const;

  // The stored entry of `slot`, or null; valid until the next change.
  const MetadataEntry* find(std::uint32_t slot) const;
  std::span<const MetadataEntry> entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool dirty() const { return dirty_; }
  const std::string& path() const { return path_; }

 private:
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  template <typename V>
  using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;
  using EqIndex = StringMap<KeyTable>;
  using RangeIndex = StringMap<std::map<std::uint64_t, SlotList>>;

  MetadataStore(std::shared_ptr<FileSystem> fs, std::string path)
      : fs_(std::move(fs)), path_(std::move(path)) {}

  void index_add(std::uint32_t slot, const VectorMetadata& metadata);
  void index_remove(std::uint32_t slot);
  // Both indexes from scratch; entries_ must be sorted by slot.
  void rebuild_indexes();
  // One property's part of both indexes, from the entries that hold it.
  struct FieldIndexes {
    KeyTable eq;
    std::map<std::uint64_t, SlotList> range;
    bool has_eq = false;
    bool has_range = false;
  };
  FieldIndexes build_field(std::string_view name, std::span<const std::uint32_t> holders) const;

  std::shared_ptr<FileSystem> fs_;
  std::string path_;
  std::vector<MetadataEntry> entries_;  // ascending slots, unique
  EqIndex eq_index_;
  RangeIndex range_index_;
  std::string key_buffer_;  // scratch for equality keys, reused by every put
  bool dirty_ = false;
};

}  // namespace velq
