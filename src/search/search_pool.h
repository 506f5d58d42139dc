// The pool of an exhaustive scan: the best candidates seen so far, kept as a
// binary min-heap on score stored in an array of at most `capacity` entries.
//
// push appends and sifts the entry up while its parent's score is greater.
// When that makes capacity + 1 entries, the minimum leaves: the last entry
// replaces the root, sinks to the bottom along the child with the smaller
// score (the right child when its score is <= the left's) and then rises as
// in push. Comparisons read the score only; a comparison with NaN is false.
// Callers read the array order (entries()), not a sorted one, so these rules
// are part of the result.
//
// Skipping candidates. A candidate whose score s is below every pooled score
// of a full pool changes nothing but the array's arrangement: it rises to the
// root (every parent is greater), is the minimum removed, and the rest of the
// push only moves pooled entries. Every comparison in that push involves
// either two pooled entries or s against a pooled entry, which s loses
// whatever its value: so the arrangement is the same for every such s, and
// push_below_all() (a stand-in below every score) reproduces it without
// knowing s. With distinct scores the arrangement comes back unchanged; with
// ties it may not, which is why the stand-in is pushed rather than nothing.
// excludes(bound) says when a candidate scoring at most `bound` is such a
// candidate: the pool is full, holds no NaN (so the root is its minimum) and
// bound < the root's score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velq::engine {

struct ScoredSlot {
  std::uint32_t slot = 0;
  double score = 0.0;
};

class SearchPool {
 public:
  explicit SearchPool(std::size_t capacity);

  // A score below every pooled score of a full pool takes the stand-in's
  // road: it changes the array exactly as the stand-in does.
  void push(std::uint32_t slot, double score);

  bool excludes(double bound) const {
    return heap_.size() == capacity_ && capacity_ > 0 && !saw_nan_ && bound < heap_[0].score;
  }

  // The push of a candidate that excludes() ruled out. REQUIRES: excludes()
  // held for its bound. Constant time while the stand-in's push is known to
  // leave the array as it is.
  void push_below_all() {
    if (!stand_in_settled_) push_stand_in();
  }

  // A NaN score was pushed: the array is no longer ordered as a heap, and
  // nothing can be excluded any more.
  bool saw_nan() const { return saw_nan_; }

  // Further push_below_all() calls leave the array as it is, until a push.
  bool stand_in_settled() const { return stand_in_settled_; }

  std::span<const ScoredSlot> entries() const { return heap_; }
  std::size_t capacity() const { return capacity_; }

 private:
  // Runs the stand-in's push unless the path test shows it leaves the array
  // as it is; either way the stand-in is settled afterwards when unchanged.
  void push_stand_in();
  // Whether the stand-in's push leaves the array unchanged, told from the
  // scores along the path from the appended position to the root without
  // moving anything; false also when only running it can tell.
  bool stand_in_retraces_path() const;
  // The stand-in's push itself, logging what it overwrites.
  void run_stand_in();
  // Writes heap_[i], remembering the old entry while a stand-in push runs.
  void put(std::size_t i, const ScoredSlot& e);
  void sift_up(std::size_t i);
  void remove_min();
  void push_entry(const ScoredSlot& e);

  std::vector<ScoredSlot> heap_;
  std::size_t capacity_;
  bool saw_nan_ = false;
  // The last stand-in push left the array unchanged and nothing changed since.
  bool stand_in_settled_ = false;
  // Old entries overwritten by the running stand-in push (index, entry).
  bool logging_ = false;
  std::vector<std::pair<std::size_t, ScoredSlot>> log_;
};

}  // namespace velq::engine
