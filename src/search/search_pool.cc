#include "search/search_pool.h"

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
  if (excludes(score)) {
    push_below_all();
    return;
  }
  if (score != score) saw_nan_ = true;
  stand_in_settled_ = false;
  push_entry({slot, score});
}

bool SearchPool::stand_in_retraces_path() const {
  // With the pool full (n entries) the stand-in is appended at n and rises
  // to the root when every ancestor scores above it: each node on the path
  // a_0 = n, a_1 = parent(n), ..., a_m = 0 then holds its parent's entry.
  // remove_min drops position n and sinks the hole from the root; wherever
  // it steps back down the same path it puts every entry back, and the
  // entry that left position a_1 returns there. Only ties between the path
  // and its siblings can send it elsewhere.
  const std::size_t n = heap_.size();
  const auto score = [&](std::size_t i) { return heap_[i].score; };
  const auto parent = [](std::size_t i) { return (i - 1) / 2; };
  for (std::size_t a = parent(n);; a = parent(a)) {
    if (!(score(a) > -std::numeric_limits<double>::infinity())) return false;
    if (a == 0) break;
  }
  // The hole at a = parent(c) takes the right child when right <= left; the
  // path child c holds a's old entry, its sibling b its own.
  for (std::size_t c = parent(n); c != 0; c = parent(c)) {
    const std::size_t a = parent(c);
    const bool c_is_left = c % 2 == 1;
    const std::size_t b = c_is_left ? c + 1 : c - 1;
    const bool steps_to_c = c_is_left ? !(score(b) <= score(a)) : score(a) <= score(b);
    if (!steps_to_c) return false;
  }
  // At a_1 the hole's only remaining child is n - 1 when n is a right child:
  // the hole moves there and the returning entry must rise back past it.
  const std::size_t a1 = parent(n);
  if (n % 2 == 0 && !(score(n - 1) > score(a1))) return false;
  // The returning entry stays at a_1 unless its parent scores more.
  return a1 == 0 || !(score(parent(a1)) > score(a1));
}

void SearchPool::push_stand_in() {
  if (stand_in_retraces_path()) {
    stand_in_settled_ = true;
    return;
  }
  run_stand_in();
}

void SearchPool::run_stand_in() {
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
