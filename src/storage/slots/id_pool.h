// Maps external string ids to dense u32 slot numbers and back. Slots are
// handed out in increasing order and never reused: deleting an id only marks
// its slot dead, and re-inserting it takes a new slot. The pool is persisted
// whole as live_ids.bin (id_pool_format.h).
//
// Invariants: every slot has one record (offset, length, hash, alive flag,
// kept together so a lookup touches one cache line per candidate); the
// lookup holds exactly the alive slots, each under its stored hash; ids live
// back to back in one arena that is never compacted. A pool decoded from a
// damaged file may hold slots whose arena range is out of bounds or not
// UTF-8: every read skips such slots instead of touching memory outside the
// arena.
//
// Not thread-safe: lookups may run concurrently, mutations exclusively.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "storage/slots/slot_hash_table.h"

namespace velq {

class IdPool {
 public:
  IdPool() = default;

  // The slot of `id`: its current slot when it is alive, else a new one.
  // Fails (leaving the pool unchanged) when the id is too long or the arena
  // is full.
  Result<std::uint32_t> insert(std::string_view id);

  // The error insert would return for `id` as a new id once `ids_before`
  // other new ids holding `bytes_before` bytes in all were taken before it;
  // success when insert would take it. Lets a writer refuse an id before
  // logging it.
  Status check_new_id(std::string_view id, std::uint64_t ids_before = 0,
                      std::uint64_t bytes_before = 0) const;

  // The alive slot holding `id`, if any.
  std::optional<std::uint32_t> get_slot(std::string_view id) const;

  // Marks the alive slot of `id` dead and returns it; absent when `id` is
  // not alive.
  std::optional<std::uint32_t> delete_by_id(std::string_view id);

  // (id, slot) for every alive slot, in slot order.
  std::vector<std::pair<std::string, std::uint32_t>> iter_active() const;

  // The id of an alive slot whose stored bytes are in bounds and valid
  // UTF-8 (the slots iter_active lists); absent otherwise.
  std::optional<std::string_view> id_at(std::uint32_t slot) const;
  // The slots iter_active lists, in slot order, without copying ids. Reads
  // only the alive flags while every flagged slot is listable, and fills
  // 0 .. n-1 at once when, moreover, no slot is dead.
  std::vector<std::uint32_t> active_slots() const;
  // Rebuilds the lookup and the active count from the stored hashes and
  // alive flags (the arena is not rehashed).
  void rebuild_lookup();

  // The live_ids.bin image, built in one exactly sized buffer.
  std::vector<std::uint8_t> serialize() const;

  // Decodes a live_ids.bin image. Counts are checked against the bytes that
  // remain before anything is reserved. The stored lookup and active count
  // are validated but rebuilt from the per-slot vectors. A slot lacking one
  // of its per-slot entries is kept as a dead slot, so slot numbers stay.
  static Result<IdPool> read_bincode(std::span<const std::uint8_t> bytes);


  // Whether `slot` was handed out and is alive.
  bool is_alive(std::uint32_t slot) const { return slot < slots_.size() && slots_[slot].alive == 1; }
  // Whether active_slots() lists `slot`: alive, with an id that decodes.
  bool is_listed(std::uint32_t slot) const {
    return is_alive(slot) && (unlisted_ == 0 || id_at(slot).has_value());
  }

  // Number of slots ever handed out (alive or dead).
  std::uint32_t slot_count() const { return static_cast<std::uint32_t>(slots_.size()); }
  std::uint64_t active_count() const { return active_count_; }

 private:
  // The id stored at `slot`, or nullopt when its arena range is out of
  // bounds.
  std::optional<std::string_view> stored_id(std::uint32_t slot) const;
  std::optional<std::uint32_t> find(std::string_view id, std::uint64_t hash) const;
  // The lookup's lists of more than one slot (alive slots with equal stored
  // hashes), each in insertion order.
  std::vector<std::vector<std::uint32_t>> shared_hash_groups() const;

  struct SlotRecord {
    std::uint64_t hash;
    std::uint32_t offset;
    std::uint16_t len;
    std::uint8_t alive;
  };

  std::vector<char> bytes_;
  std::vector<SlotRecord> slots_;
  SlotHashTable lookup_;
  std::uint64_t active_count_ = 0;
  // Alive slots that id_at skips (an id out of the arena or not UTF-8);
  // only a damaged image or a non-UTF-8 insert makes any.
  std::uint64_t unlisted_ = 0;
};

}  // namespace velq
