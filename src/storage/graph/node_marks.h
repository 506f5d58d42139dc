// A set of node ids for building one candidate list at a time: membership is
// a stamp per node, and clearing bumps the stamp instead of touching memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velq {

class NodeMarks {
 public:
  // Empties the set and makes room for ids below `n`.
  void clear(std::size_t n) {
    if (stamps_.size() < n) stamps_.resize(n, 0);
    if (++stamp_ == 0) {  // wrapped: old stamps could collide
      std::fill(stamps_.begin(), stamps_.end(), 0);
      stamp_ = 1;
    }
  }

  // Adds `node`; false when it was already present.
  bool insert(std::uint32_t node) {
    if (stamps_[node] == stamp_) return false;
    stamps_[node] = stamp_;
    return true;
  }

 private:
  std::vector<std::uint32_t> stamps_;
  std::uint32_t stamp_ = 0;
};

}  // namespace velq
