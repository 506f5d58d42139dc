#include "engine/search_pool.h"

#include <bit>
#include <cstring>
#include <limits>

#include "common/panic.h"

namespace velq::engine {

namespace {

bool same(const ScoredSlot& a, const ScoredSlot& b) {
  return a.slot == b.slot &&
         std::bit_cast<std::uint64_t>(a.score) == std::bit_cast<std::uint64_t>(b.score);
}

}  // namespace

SearchPool::SearchPool(std::size_t capacity) : capacity_(capacity) { heap_.reserve(capacity + 1); }

void SearchPool::put(std::size_t i, const ScoredSlot& e) {
  if (logging_ && i < heap_.size()) log_.emplace_back(i, heap_[i]);
  heap_[i] = e;
}

void SearchPool::sift_up(std::size_t i) {
  const ScoredSlot e = heap_[i];
  while (i > 0) {
    const std::size_t parent = (i - 1) / 2;
    if (!(heap_[parent].score > e.score)) break;
    put(i, heap_[parent]);
    i = parent;
  }
  put(i, e);
}

void SearchPool::remove_min() {
  const ScoredSlot last = heap_.back();
  heap_.pop_back();
  if (heap_.empty()) return;
  // Sink a hole from the root to the bottom, then let `last` rise from there.
  const std::size_t end = heap_.size();
  std::size_t hole = 0;
  std::size_t child = 1;
  while (child + 1 < end) {
    if (heap_[child + 1].score <= heap_[child].score) ++child;
    put(hole, heap_[child]);
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == end - 1) {
    put(hole, heap_[child]);
    hole = child;
  }
  put(hole, last);
  sift_up(hole);
}

void SearchPool::push_entry(const ScoredSlot& e) {
  heap_.push_back(e);
  sift_up(heap_.size() - 1);
  if (heap_.size() > capacity_) remove_min();
}

void SearchPool::push(std::uint32_t slot, double score) {
  if (score != score) saw_nan_ = true;
  stand_in_settled_ = false;
  push_entry({slot, score});
}

void SearchPool::push_stand_in() {
  // The push is a function of the array alone: once it leaves the array
  // unchanged it does so again until a real push changes the array.
  log_.clear();
  logging_ = true;
  push_entry({std::numeric_limits<std::uint32_t>::max(), -std::numeric_limits<double>::infinity()});
  logging_ = false;
  // The first entry logged for an index is its value before the push; the
  // position the stand-in was appended at is gone again.
  bool unchanged = true;
  for (std::size_t j = 0; j < log_.size() && unchanged; ++j) {
    const auto& [i, old] = log_[j];
    bool first = i < heap_.size();
    for (std::size_t k = 0; k < j && first; ++k) first = log_[k].first != i;
    if (first) unchanged = same(heap_[i], old);
  }
  stand_in_settled_ = unchanged;
}

}  // namespace velq::engine
