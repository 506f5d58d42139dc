// A set of node ids for building one candidate list at a time: membership is
// a stamp per node, and clearing bumps the stamp instead of touching memory.
// A narrower stamp keeps the array small enough for the inner caches (one
// byte per node holds a 100,000-node level in 100 KB) at the price of
// refilling it once per 2^bits - 1 clears.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace velq {

template <typename Stamp>
class BasicNodeMarks {
 public:
  // Empties the set and makes room for ids below `n`.
  void clear(std::size_t n) {
    if (stamps_.size() < n) stamps_.resize(n, 0);
    if (stamp_ == std::numeric_limits<Stamp>::max()) {  // old stamps could collide
      std::fill(stamps_.begin(), stamps_.end(), 0);
      stamp_ = 0;
    }
    ++stamp_;
  }

  // Adds `node`; false when it was already present.
  bool insert(std::uint32_t node) {
    // Stored either way: a walk's neighbours are new or not at random, and
    // a store costs less than a mispredicted branch.
    const bool fresh = stamps_[node] != stamp_;
    stamps_[node] = stamp_;
    return fresh;
  }

 private:
  std::vector<Stamp> stamps_;
  Stamp stamp_ = 0;
};

using NodeMarks = BasicNodeMarks<std::uint32_t>;

}  // namespace velq
