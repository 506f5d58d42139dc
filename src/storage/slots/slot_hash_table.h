// Open-addressing multimap from a 64-bit key hash to u32 slot numbers: the
// id pool's lookup. The table stores only (slot, tag) pairs, 8 bytes each;
// the key bytes stay in the id pool's arena, so callers confirm a candidate
// slot by its stored hash and bytes.
//
// Linear probing with backward-shift deletion. Slots stored under one hash
// come back in the order they were inserted: an insert lands behind every
// entry of its probe run, deletion shifts entries back without passing one
// another, and growth re-inserts the runs in probe order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velq {

class SlotHashTable {
 public:
  // Entries whose tag equals the searched tag, in probe order, are the
  // candidates for a hash. The home position is the tag's top bits, so one
  // number decides both and the full hash is never needed to move entries.
  struct Entry {
    std::uint32_t slot;
    std::uint32_t tag;
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  static std::uint32_t tag_of(std::uint64_t hash) {
    return static_cast<std::uint32_t>((hash * 0x9E3779B97F4A7C15ull) >> 32);
  }

  void clear();
  std::size_t size() const { return count_; }
  // Prepares room for `n` entries without further growth.
  void reserve(std::size_t n);

  // Adds `slot` under `hash`, after the slots already stored under it.
  // `slot` must not be kEmpty.
  void insert(std::uint64_t hash, std::uint32_t slot);

  // Removes every entry of `slot` stored under `hash`.
  void erase(std::uint64_t hash, std::uint32_t slot);

  // The first slot stored under `hash` (in insertion order) for which
  // `accept(slot)` is true. Slots of other hashes with the same tag are
  // offered too, so `accept` must check the slot's own hash.
  template <typename Accept>
  std::optional<std::uint32_t> find(std::uint64_t hash, Accept&& accept) const {
    if (count_ == 0) return std::nullopt;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = home(tag);; i = (i + 1) & mask_) {
      const Entry& e = entries_[i];
      if (e.slot == kEmpty) return std::nullopt;
      if (e.tag == tag && accept(e.slot)) return e.slot;
    }
  }

  // Every stored entry, for callers that regroup them; empty positions have
  // slot kEmpty. Runs may wrap around the end.
  const std::vector<Entry>& entries() const { return entries_; }
  std::size_t home(std::uint32_t tag) const { return tag >> shift_; }
  std::size_t mask() const { return mask_; }

 private:
  void rehash(std::size_t capacity);
  void place(Entry entry);

  std::vector<Entry> entries_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 32;
};

}  // namespace velq
