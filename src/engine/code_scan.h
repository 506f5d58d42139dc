// Exhaustive scoring of candidate slots into a SearchPool, straight from the
// slot file's bytes: every candidate's inner-product estimate (score_ip_packed)
// times its stored norm (Ip) or over the query's norm (Cosine), or minus the
// distance from the query to its decoded vector times its stored norm (L2),
// pushed in candidate order.
//
// Two stages when a blocked copy of the codes is given: the first pass bounds
// each code's estimate from above (first_pass.h) and a candidate whose bound
// is already below a full pool's minimum is pushed as the pool's stand-in
// (search_pool.h) instead of being scored. Rounding is monotone, so bound ×
// norm (norm >= 0) or bound / query norm also bounds the score; a negative
// or NaN norm is always scored exactly. L2 turns the estimate's bound into a
// bound of the distance's score (l2_bound.h), which also needs each code's
// reconstruction norm. The pool, array order included, is the pool of
// scoring every candidate exactly.
//
// Above kParallelAbove candidates, when the worker pool has more than one
// thread, the list is cut into chunks scored on the worker pool, and the
// scores are pushed into the pool in candidate order.
// The first kWarmUp candidates are scored into the shared pool on the calling
// thread; its minimum then is a floor below which no later candidate can
// enter. Each chunk prunes against that floor, the minimums the chunks
// before it published from their own pools, and its own pool of the chunk's
// candidates: such a pool's minimum never exceeds the shared pool's minimum
// at any later candidate (it holds the best of fewer, earlier scores), so
// what they rule out the shared pool would also evict at once. Chunks hand
// back only the candidates they scored exactly.
//
// Slot s is bytes [s·stride, (s+1)·stride): M packed index bytes, Q sign
// bytes (none in fast mode), gamma f32, norm f32, ... (as the engine lays
// slots out). A candidate outside the bytes panics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "engine/l2_bound.h"
#include "engine/reconstruction_norms.h"
#include "engine/search_pool.h"
#include "quantizer/blocked_codes.h"
#include "quantizer/first_pass.h"
#include "quantizer/prod_quantizer.h"

namespace velq::engine {

enum class ScanMetric : std::uint8_t { kIp = 0, kCosine = 1, kL2 = 2 };

// What an L2 scan needs beyond the codes: the query itself (d values) and,
// for the first pass, the reconstruction norms of the slots (may be null).
struct L2Inputs {
  std::span<const double> query;
  const ReconstructionNorms* norms = nullptr;
};

struct CodeSlots {
  std::span<const std::uint8_t> bytes;
  std::size_t stride = 0;
};

struct ScanResult {
  SearchPool pool;
  std::size_t scored_exactly = 0;  // candidates the exact kernel scored
};

class CodeScan {
 public:
  static constexpr std::size_t kParallelAbove = 20'000;
  // Fewer candidates, or candidates spread over more than four times their
  // number of slots, are all scored exactly: the first pass would not pay.
  static constexpr std::size_t kFirstPassMin = 2'048;
  // Candidates the parallel scan scores on the calling thread first, so
  // that every chunk starts from the shared pool's minimum.
  static constexpr std::size_t kWarmUp = 4'096;
  static constexpr double kNoFloor = -std::numeric_limits<double>::infinity();

  // `blocked` (may be null) must mirror `slots`, as must l2.norms; all
  // references must outlive the scan. An L2 scan without both scores every
  // candidate exactly, and then needs no prepared query (pq may be empty).
  CodeScan(const ProdQuantizer& q, const PreparedIpQuery& pq, ScanMetric metric,
           double query_norm, CodeSlots slots, const BlockedCodes* blocked,
           L2Inputs l2 = {});

  ScanResult run(std::span<const std::uint32_t> candidates, std::size_t pool_size) const;
  // Every candidate scored exactly: the reference the two stages reproduce.
  ScanResult run_exact(std::span<const std::uint32_t> candidates, std::size_t pool_size) const;

  // Whether run() uses the first pass for these candidates.
  bool uses_first_pass(std::span<const std::uint32_t> candidates) const;

  // Scores candidates in order against `pool`, returning how many were
  // scored exactly. With scores (and pruned) given, one chunk of the parallel
  // scan: scores[i], or pruned[i] = 1 with the score unset; the chunk's own
  // `pool` then only serves pruning. Without them `pool` takes every score.
  std::size_t score_chunk(std::span<const std::uint32_t> candidates, bool prune, double* scores,
                          std::uint8_t* pruned, SearchPool& pool) const;

  double exact_score(std::uint32_t slot) const;

 private:
  // Upper bounds of the scores of block's 32 slots; returns their maximum
  // (NaN when one is NaN).
  double block_score_bounds(std::size_t block, double* bounds) const;
  // The bytes of a slot; panics when it lies outside them.
  const std::uint8_t* slot_at(std::uint32_t slot) const;
  // The L2 score of slot bytes p given their decoded vector (scaled in place).
  double l2_score_decoded(const std::uint8_t* p, std::span<double> x) const;
  // Exact L2 scores of `slots`, decoded together.
  void l2_window_scores(std::span<const std::uint32_t> slots, double* scores) const;
  // score_chunk's pruning form for L2: candidates in windows whose possible
  // survivors are decoded together, the pushes still in candidate order.
  std::size_t score_chunk_l2(std::span<const std::uint32_t> candidates, double* scores,
                             std::uint8_t* pruned, SearchPool& pool) const;
  ScanResult run_with(std::span<const std::uint32_t> candidates, std::size_t pool_size,
                      bool prune) const;
  // A survivor's slot is rarely in cache: asking for all its lines before
  // scoring overlaps their misses instead of meeting them one by one.
  void prefetch_slot(std::uint32_t slot) const;
  // score_chunk's loop: scored(i, score) for each candidate scored exactly;
  // with prune, a candidate whose bound is below floor_of(its block) or
  // excluded by `pool` is skipped (the latter pushed as the pool's
  // stand-in). REQUIRES: no candidate scoring below its floor could enter
  // the pool the scores go to.
  template <typename Floor, typename Scored>
  std::size_t scan_chunk(std::span<const std::uint32_t> candidates, bool prune, Floor&& floor_of,
                         SearchPool& pool, Scored&& scored) const;

  const ProdQuantizer& q_;
  const PreparedIpQuery& pq_;
  ScanMetric metric_;
  double query_norm_;
  CodeSlots slots_;
  const BlockedCodes* blocked_;
  std::optional<FirstPassQuery> first_pass_;
  L2Inputs l2_;
  std::optional<L2ScoreBound> l2_bound_;
  std::size_t mse_len_;
  std::size_t sign_len_;
};

}  // namespace velq::engine
