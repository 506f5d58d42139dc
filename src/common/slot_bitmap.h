// A set of slot numbers below a fixed bound, one bit each: what a filtered
// search hands the graph (by pointer) to say which slots may be returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velq {

class SlotBitmap {
 public:
  SlotBitmap() = default;
  // An empty set of slots below `bound`.
  explicit SlotBitmap(std::size_t bound) : words_((bound + 63) / 64, 0), bound_(bound) {}
  // The set of `slots`, each below `bound`; one that is not is left out.
  SlotBitmap(std::size_t bound, std::span<const std::uint32_t> slots) : SlotBitmap(bound) {
    for (const std::uint32_t s : slots) insert(s);
  }

  void insert(std::uint32_t slot) {
    if (slot < bound_) words_[slot >> 6] |= std::uint64_t{1} << (slot & 63);
  }
  bool contains(std::uint32_t slot) const {
    return slot < bound_ && ((words_[slot >> 6] >> (slot & 63)) & 1) != 0;
  }
  std::size_t bound() const { return bound_; }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t bound_ = 0;
};

}  // namespace velq
