#include "storage/metadata/key_table.h"

#include <functional>
#include <utility>

#include "common/panic.h"

namespace velq {
namespace {

constexpr std::uint64_t kIndexMask = 0xFFFFFFFFull;

std::uint64_t hash_of(std::string_view key) { return std::hash<std::string_view>()(key); }

}  // namespace

std::size_t KeyTable::probe(std::string_view key, std::uint64_t hash) const {
  const std::size_t mask = buckets_.size() - 1;
  const std::uint64_t tag = hash & ~kIndexMask;
  for (std::size_t pos = static_cast<std::size_t>(hash) & mask;; pos = (pos + 1) & mask) {
    const std::uint64_t bucket = buckets_[pos];
    if (bucket == 0) return pos;
    if ((bucket & ~kIndexMask) == tag && entries_[(bucket & kIndexMask) - 1].key.as_string() == key) return pos;
  }
}

const SlotList* KeyTable::find(std::string_view key) const {
  if (buckets_.empty()) return nullptr;
  const std::uint64_t bucket = buckets_[probe(key, hash_of(key))];
  return bucket == 0 ? nullptr : &entries_[(bucket & kIndexMask) - 1].slots;
}

SlotList* KeyTable::find(std::string_view key) {
  return const_cast<SlotList*>(std::as_const(*this).find(key));
}

SlotList& KeyTable::get_or_add(std::string_view key) {
  // Load factor at most 3/4, so probing always meets an empty bucket.
  if ((entries_.size() + 1) * 4 > buckets_.size() * 3) rehash(buckets_.empty() ? 8 : buckets_.size() * 2);
  const std::uint64_t hash = hash_of(key);
  const std::size_t pos = probe(key, hash);
  if (buckets_[pos] != 0) return entries_[(buckets_[pos] & kIndexMask) - 1].slots;
  if (entries_.size() >= kIndexMask) panic("equality index: too many distinct values");
  entries_.push_back({JsonValue::string(key), SlotList(), hash});
  buckets_[pos] = (hash & ~kIndexMask) | entries_.size();
  return entries_.back().slots;
}

void KeyTable::erase(std::string_view key, std::uint32_t slot) {
  if (buckets_.empty()) return;
  const std::size_t pos = probe(key, hash_of(key));
  if (buckets_[pos] == 0) return;
  const std::size_t index = (buckets_[pos] & kIndexMask) - 1;
  entries_[index].slots.erase(slot);
  if (!entries_[index].slots.empty()) return;
  clear_bucket(pos);
  // The last entry moves into the freed place; its bucket follows it.
  const std::size_t last = entries_.size() - 1;
  if (index != last) {
    const std::size_t mask = buckets_.size() - 1;
    std::size_t at = static_cast<std::size_t>(entries_[last].hash) & mask;
    while ((buckets_[at] & kIndexMask) != last + 1) at = (at + 1) & mask;
    buckets_[at] = (entries_[last].hash & ~kIndexMask) | (index + 1);
    entries_[index] = std::move(entries_[last]);
  }
  entries_.pop_back();
}

void KeyTable::clear_bucket(std::size_t pos) {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t hole = pos;
  buckets_[hole] = 0;
  for (std::size_t next = (hole + 1) & mask; buckets_[next] != 0; next = (next + 1) & mask) {
    const std::size_t home = static_cast<std::size_t>(entries_[(buckets_[next] & kIndexMask) - 1].hash) & mask;
    // The entry may fill the hole when the hole lies on its probe run from
    // its home bucket.
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      buckets_[hole] = buckets_[next];
      buckets_[next] = 0;
      hole = next;
    }
  }
}

void KeyTable::rehash(std::size_t bucket_count) {
  buckets_.assign(bucket_count, 0);
  const std::size_t mask = bucket_count - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::size_t pos = static_cast<std::size_t>(entries_[i].hash) & mask;
    while (buckets_[pos] != 0) pos = (pos + 1) & mask;
    buckets_[pos] = (entries_[i].hash & ~kIndexMask) | (i + 1);
  }
}

void KeyTable::shrink_to_fit() { entries_.shrink_to_fit(); }

}  // namespace velq
