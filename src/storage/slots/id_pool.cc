#include "storage/slots/id_pool.h"

#include <numeric>

#include <cstring>
#include <unordered_map>

#include "common/byte_io.h"
#include "common/panic.h"
#include "common/utf8.h"
#include "storage/slots/id_pool_format.h"

namespace velq {

namespace fmt = id_pool_format;

namespace {

// Slot numbers are u32 and the lookup reserves the largest for "empty".
constexpr std::uint64_t kMaxSlots = SlotHashTable::kEmpty;

// One "u64 count, then count elements of `width` bytes" vector, returned as
// its count and a view of its payload. The count is checked against the
// bytes that remain, so nothing is sized from an unchecked count.
struct StoredVector {
  std::uint64_t count = 0;
  std::span<const std::uint8_t> payload;

  template <typename T>
  T at(std::size_t i) const {
    T v;
    std::memcpy(&v, payload.data() + i * sizeof(T), sizeof(T));
    return v;
  }
};

Result<StoredVector> read_vector(ByteReader& in, const char* field, std::size_t width) {
  StoredVector v;
  if (!in.u64(v.count) || !in.fits(v.count, width) || !in.take(v.count * width, v.payload)) {
    return Error::corruption(std::string("live_ids.bin is truncated in its ") + field);
  }
  return v;
}

// Fills a buffer whose exact length was computed in advance, without the
// per-value growth checks of an appending writer.
class SizedWriter {
 public:
  explicit SizedWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  template <typename T>
  void put(T v) {
    bytes(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void bytes(const char* data, std::size_t n) {
    if (n > out_.size() - pos_) panic("live_ids.bin image longer than computed");
    if (n != 0) std::memcpy(out_.data() + pos_, data, n);
    pos_ += n;
  }
  std::size_t written() const { return pos_; }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t pos_ = 0;
};

// Checks the stored lookup's shape; its contents are rebuilt from the
// per-slot vectors, so they are not kept.
Status skip_lookup(ByteReader& in) {
  std::uint64_t m = 0;
  if (!in.u64(m) || !in.fits(m, fmt::kLookupEntryHeadBytes)) {
    return Error::corruption("live_ids.bin is truncated in its lookup");
  }
  for (std::uint64_t i = 0; i < m; ++i) {
    std::uint64_t hash = 0, k = 0;
    if (!in.u64(hash) || !in.u64(k) || !in.fits(k, fmt::kLookupSlotBytes) ||
        !in.skip(k * fmt::kLookupSlotBytes)) {
      return Error::corruption("live_ids.bin is truncated in its lookup");
    }
  }
  return ok_status();
}

}  // namespace

std::optional<std::string_view> IdPool::stored_id(std::uint32_t slot) const {
  const std::uint64_t offset = slots_[slot].offset;
  const std::uint64_t len = slots_[slot].len;
  if (offset > bytes_.size() || len > bytes_.size() - offset) return std::nullopt;
  return std::string_view(bytes_.data() + offset, len);
}

std::optional<std::uint32_t> IdPool::find(std::string_view id, std::uint64_t hash) const {
  // The lookup holds only alive slots; tags narrow candidates to 32 bits of
  // the hash, so the stored hash is compared before the bytes.
  return lookup_.find(hash, [&](std::uint32_t slot) {
    if (slots_[slot].hash != hash) return false;
    const std::optional<std::string_view> stored = stored_id(slot);
    // Equal bytes make the stored id exactly as well-formed as `id`.
    return stored && *stored == id && is_valid_utf8(id);
  });
}

std::optional<std::uint32_t> IdPool::get_slot(std::string_view id) const {
  return find(id, fmt::fnv1a64(id));
}

Status IdPool::check_new_id(std::string_view id, std::uint64_t ids_before,
                            std::uint64_t bytes_before) const {
  if (id.size() > fmt::kMaxIdBytes) {
    return Error::invalid_argument("id is too long (" + std::to_string(id.size()) + " bytes, max " +
                 std::to_string(fmt::kMaxIdBytes) + ")");
  }
  if (bytes_.size() + bytes_before > fmt::kMaxArenaBytesBeforeInsert) {
    return Error("id pool byte buffer exceeds 4 GiB \u2014 too many unique IDs inserted");
  }
  if (slots_.size() + ids_before >= kMaxSlots) return Error("id pool has no slot numbers left");
  return ok_status();
}

Result<std::uint32_t> IdPool::insert(std::string_view id) {
  const std::uint64_t hash = fmt::fnv1a64(id);
  if (const std::optional<std::uint32_t> slot = find(id, hash)) return *slot;
  VELQ_RETURN_IF_ERROR(check_new_id(id));
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  slots_.push_back(SlotRecord{hash, static_cast<std::uint32_t>(bytes_.size()),
                              static_cast<std::uint16_t>(id.size()), 1});
  bytes_.insert(bytes_.end(), id.begin(), id.end());
  lookup_.insert(hash, slot);
  ++active_count_;
  if (!is_valid_utf8(id)) ++unlisted_;
  return slot;
}

std::optional<std::uint32_t> IdPool::delete_by_id(std::string_view id) {
  // get_slot finds only listable slots, so the unlisted count stays.
  const std::optional<std::uint32_t> slot = get_slot(id);
  if (!slot) return std::nullopt;
  slots_[*slot].alive = 0;
  if (active_count_ > 0) --active_count_;
  lookup_.erase(slots_[*slot].hash, *slot);
  return slot;
}

std::optional<std::string_view> IdPool::id_at(std::uint32_t slot) const {
  if (!is_alive(slot)) return std::nullopt;
  const std::optional<std::string_view> id = stored_id(slot);
  if (!id || !is_valid_utf8(*id)) return std::nullopt;
  return id;
}

std::vector<std::pair<std::string, std::uint32_t>> IdPool::iter_active() const {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  out.reserve(active_count_);
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (const auto id = id_at(slot)) out.emplace_back(std::string(*id), slot);
  }
  return out;
}

std::vector<std::uint32_t> IdPool::active_slots() const {
  std::vector<std::uint32_t> out;
  if (unlisted_ == 0 && active_count_ == slots_.size()) {
    out.resize(slots_.size());
    std::iota(out.begin(), out.end(), std::uint32_t{0});
    return out;
  }
  out.reserve(active_count_);
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (is_listed(slot)) out.push_back(slot);
  }
  return out;
}

void IdPool::rebuild_lookup() {
  std::size_t alive = 0;
  unlisted_ = 0;
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    alive += slots_[slot].alive;
    if (slots_[slot].alive != 0 && !id_at(slot)) ++unlisted_;
  }
  lookup_.clear();
  lookup_.reserve(alive);
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot].alive) lookup_.insert(slots_[slot].hash, slot);
  }
  active_count_ = alive;
}

std::vector<std::vector<std::uint32_t>> IdPool::shared_hash_groups() const {
  // Entries of one hash share a tag and lie in one probe run after their
  // home, so both scans stay inside a run and compare full hashes only for
  // entries whose tags are equal, which is rare: the scan reads the table
  // sequentially and almost never the slot records.
  const std::vector<SlotHashTable::Entry>& entries = lookup_.entries();
  const std::size_t mask = lookup_.mask();
  auto same_hash = [&](std::size_t i, std::size_t j) {
    return entries[i].tag == entries[j].tag &&
           slots_[entries[i].slot].hash == slots_[entries[j].slot].hash;
  };
  std::vector<std::vector<std::uint32_t>> groups;
  for (std::size_t pos = 0; pos < entries.size(); ++pos) {
    if (entries[pos].slot == SlotHashTable::kEmpty) continue;
    bool first = true;
    for (std::size_t i = lookup_.home(entries[pos].tag); i != pos && first; i = (i + 1) & mask) {
      first = !same_hash(i, pos);
    }
    if (!first) continue;
    std::vector<std::uint32_t> group;
    for (std::size_t i = (pos + 1) & mask; entries[i].slot != SlotHashTable::kEmpty;
         i = (i + 1) & mask) {
      if (same_hash(i, pos)) group.push_back(entries[i].slot);
    }
    if (group.empty()) continue;
    group.insert(group.begin(), entries[pos].slot);
    groups.push_back(std::move(group));
  }
  return groups;
}

std::vector<std::uint8_t> IdPool::serialize() const {
  // The lookup is written in slot order: each alive slot as a group of its
  // own, except that slots sharing a stored hash are written together where
  // the first of them (in insertion order) comes. The table holds exactly
  // the alive slots.
  const std::vector<std::vector<std::uint32_t>> shared = shared_hash_groups();
  std::unordered_map<std::uint32_t, const std::vector<std::uint32_t>*> shared_by_slot;
  std::size_t folded = 0;
  for (const std::vector<std::uint32_t>& group : shared) {
    for (std::uint32_t slot : group) shared_by_slot.emplace(slot, &group);
    folded += group.size() - 1;
  }
  const std::size_t groups = lookup_.size() - folded;

  const std::size_t n = slots_.size();
  const std::size_t total = fmt::kCountBytes * 5 + bytes_.size() +
                            n * (fmt::kOffsetBytes + fmt::kLenBytes + fmt::kHashBytes +
                                 fmt::kAliveBytes) +
                            fmt::kCountBytes + groups * fmt::kLookupEntryHeadBytes +
                            lookup_.size() * fmt::kLookupSlotBytes + fmt::kCountBytes;
  std::vector<std::uint8_t> out(total);
  SizedWriter w(out);
  w.put<std::uint64_t>(bytes_.size());
  w.bytes(bytes_.data(), bytes_.size());
  w.put<std::uint64_t>(n);
  for (const SlotRecord& r : slots_) w.put(r.offset);
  w.put<std::uint64_t>(n);
  for (const SlotRecord& r : slots_) w.put(r.len);
  w.put<std::uint64_t>(n);
  for (const SlotRecord& r : slots_) w.put(r.hash);
  w.put<std::uint64_t>(n);
  for (const SlotRecord& r : slots_) w.put(r.alive);
  w.put<std::uint64_t>(groups);
  for (std::uint32_t slot = 0; slot < n; ++slot) {
    if (!slots_[slot].alive) continue;
    const auto it = shared_by_slot.empty() ? shared_by_slot.end() : shared_by_slot.find(slot);
    if (it == shared_by_slot.end()) {
      w.put(slots_[slot].hash);
      w.put<std::uint64_t>(1);
      w.put(slot);
    } else if (it->second->front() == slot) {
      w.put(slots_[slot].hash);
      w.put<std::uint64_t>(it->second->size());
      for (std::uint32_t member : *it->second) w.put(member);
    }
  }
  w.put(active_count_);
  assert_eq(w.written(), total, "live_ids.bin image length");
  return out;
}

Result<IdPool> IdPool::read_bincode(std::span<const std::uint8_t> bytes) {
  ByteReader in(bytes);
  VELQ_ASSIGN_OR_RETURN(const StoredVector arena, read_vector(in, "id bytes", 1));
  VELQ_ASSIGN_OR_RETURN(const StoredVector offsets, read_vector(in, "offsets", fmt::kOffsetBytes));
  VELQ_ASSIGN_OR_RETURN(const StoredVector lens, read_vector(in, "lengths", fmt::kLenBytes));
  VELQ_ASSIGN_OR_RETURN(const StoredVector hashes, read_vector(in, "hashes", fmt::kHashBytes));
  VELQ_ASSIGN_OR_RETURN(const StoredVector alive, read_vector(in, "alive flags", fmt::kAliveBytes));
  for (std::uint8_t flag : alive.payload) {
    if (flag > 1) return Error::corruption("live_ids.bin holds an alive flag other than 0 or 1");
  }
  VELQ_RETURN_IF_ERROR(skip_lookup(in));
  std::uint64_t stored_active_count = 0;
  if (!in.u64(stored_active_count)) return Error::corruption("live_ids.bin is truncated in its active count");
  if (offsets.count > kMaxSlots) return Error::corruption("live_ids.bin holds too many slots");

  // The slot count is the number of offsets. A slot without its length,
  // hash or flag is dead; entries past the last offset belong to no slot.
  IdPool pool;
  pool.bytes_.assign(arena.payload.begin(), arena.payload.end());
  pool.slots_.resize(offsets.count);
  for (std::size_t i = 0; i < pool.slots_.size(); ++i) {
    SlotRecord& r = pool.slots_[i];
    r.offset = offsets.at<std::uint32_t>(i);
    if (i < lens.count && i < hashes.count && i < alive.count) {
      r.len = lens.at<std::uint16_t>(i);
      r.hash = hashes.at<std::uint64_t>(i);
      r.alive = alive.payload[i];
    }
  }
  pool.rebuild_lookup();
  return pool;
}

}  // namespace velq
