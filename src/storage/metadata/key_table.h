// The equality index of one property: index key text -> slot list. An
// open-addressing table over one vector of entries; it keeps each key's
// hash, so growing never touches the key texts. Made for many distinct keys
// (a property unique per record puts one key per record here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/json_value.h"
#include "storage/metadata/slot_list.h"

namespace velq {

class KeyTable {
 public:
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  // The key's list, or nullptr.
  const SlotList* find(std::string_view key) const;
  SlotList* find(std::string_view key);
  // The key's list, created empty when missing.
  SlotList& get_or_add(std::string_view key);
  // Takes `slot` out of `key`'s list. A key left with no slot is dropped:
  // values no record holds any more (a property unique per record that
  // keeps being rewritten) would otherwise pile up until the next rebuild.
  void erase(std::string_view key, std::uint32_t slot);
  // Gives back the spare room of growth, once a bulk build is done.
  void shrink_to_fit();

 private:
  struct Entry {
    JsonValue key;  // a string: short keys inline
    SlotList slots;
    std::uint64_t hash;
  };

  // The bucket of `key`'s entry, or of the empty bucket where it belongs.
  std::size_t probe(std::string_view key, std::uint64_t hash) const;
  void rehash(std::size_t bucket_count);
  // Empties bucket `pos` and shifts later buckets of its probe run back,
  // so no lookup stops early at the hole.
  void clear_bucket(std::size_t pos);

  std::vector<Entry> entries_;
  // 0: empty; else (hash >> 32) << 32 | (entry index + 1). Power-of-two size.
  std::vector<std::uint64_t> buckets_;
};

}  // namespace velq
