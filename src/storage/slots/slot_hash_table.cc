#include "storage/slots/slot_hash_table.h"

#include <bit>

namespace velq {

namespace {

constexpr std::size_t kMinCapacity = 16;
// Tags address at most 2^32 positions; beyond 3/4 of that the table fills
// further instead of growing (slot numbers stop at 2^32 - 1 anyway).
constexpr std::size_t kMaxCapacity = std::size_t{1} << 32;

bool over_load(std::size_t count, std::size_t capacity) { return count * 4 > capacity * 3; }

}  // namespace

void SlotHashTable::clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  count_ = 0;
  mask_ = 0;
  shift_ = 32;
}

void SlotHashTable::reserve(std::size_t n) {
  std::size_t capacity = entries_.empty() ? kMinCapacity : entries_.size();
  while (capacity < kMaxCapacity && over_load(n, capacity)) capacity *= 2;
  if (capacity != entries_.size()) rehash(capacity);
}

void SlotHashTable::rehash(std::size_t capacity) {
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(capacity, Entry{kEmpty, 0});
  mask_ = capacity - 1;
  shift_ = 32 - static_cast<unsigned>(std::countr_zero(capacity));
  if (count_ == 0) return;
  // Re-insert starting just after an empty position, so each probe run is
  // visited from its beginning and keeps its order.
  std::size_t start = 0;
  while (old[start].slot != kEmpty) ++start;
  const std::size_t old_mask = old.size() - 1;
  for (std::size_t k = 1; k <= old.size(); ++k) {
    const Entry& e = old[(start + k) & old_mask];
    if (e.slot != kEmpty) place(e);
  }
}

void SlotHashTable::place(Entry entry) {
  std::size_t i = home(entry.tag);
  while (entries_[i].slot != kEmpty) i = (i + 1) & mask_;
  entries_[i] = entry;
}

void SlotHashTable::insert(std::uint64_t hash, std::uint32_t slot) {
  reserve(count_ + 1);
  place(Entry{slot, tag_of(hash)});
  ++count_;
}

void SlotHashTable::erase(std::uint64_t hash, std::uint32_t slot) {
  if (count_ == 0) return;
  const std::uint32_t tag = tag_of(hash);
  std::size_t i = home(tag);
  while (entries_[i].slot != kEmpty) {
    if (entries_[i].slot != slot || entries_[i].tag != tag) {
      i = (i + 1) & mask_;
      continue;
    }
    // Backward shift: pull later entries of the run into the hole unless
    // their home lies after it, then re-examine the same position, which
    // now holds the next candidate.
    std::size_t hole = i;
    for (std::size_t j = (hole + 1) & mask_; entries_[j].slot != kEmpty; j = (j + 1) & mask_) {
      const std::size_t from_home = (j - home(entries_[j].tag)) & mask_;
      if (from_home >= ((j - hole) & mask_)) {
        entries_[hole] = entries_[j];
        hole = j;
      }
    }
    entries_[hole] = Entry{kEmpty, 0};
    --count_;
  }
}

}  // namespace velq
