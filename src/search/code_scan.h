// Exhaustive scoring of candidate slots into a SearchPool, straight from the
// slot file's bytes: every candidate's inner-product estimate (score_ip_packed)
// times its stored norm (Ip) or over the query's norm (Cosine), or minus the
// distance from the query to its decoded vector times its stored norm (L2),
// pushed in candidate order. The L2 distance comes from <q, x̂>
// (decoded_ip_packed) and the code's reconstruction norm, with no decoding
// (decoded_score below).
//
// Two stages when a blocked copy of the codes is given: the first pass bounds
// each code's estimate from above (first_pass.h) and a candidate whose bound
// is already below a full pool's minimum is pushed as the pool's stand-in
// (search_pool.h) instead of being scored. Rounding is monotone, so bound ×
// norm (norm >= 0) or bound / query norm also bounds the score; a negative
// or NaN norm is always scored exactly. L2 turns the estimate's bound into a
// bound of the distance's score (l2_bound.h), which also needs each code's
// reconstruction norm, and bounds a code the first pass keeps once more from
// its f32 estimate before its exact score's f64 sums. The pool, array order included, is the pool of
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

#include "common/distance_metric.h"
#include "quantizer/l2_bound.h"
#include "quantizer/reconstruction_norms.h"
#include "search/search_pool.h"
#include "quantizer/blocked_codes.h"
#include "quantizer/first_pass.h"
#include "quantizer/prod_quantizer.h"

namespace velq::engine {

// What scores against the decoded codes need beyond the codes: the query
// itself (d values; L2 always needs it, the others only where a slot is
// decoded) and the reconstruction norms of the slots (may be null: L2 then
// decodes every candidate and takes no first pass).
struct DecodedInputs {
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
  // Candidates the parallel scan scores on the calling thread first, so
  // that every chunk starts from the shared pool's minimum.
  static constexpr std::size_t kWarmUp = 4'096;
  static constexpr double kNoFloor = -std::numeric_limits<double>::infinity();

  // `blocked` (may be null) must mirror `slots`, as must decoded.norms; all
  // references must outlive the scan. An L2 scan without norms decodes
  // every candidate, and then needs no prepared query (pq may be empty).
  CodeScan(const ProdQuantizer& q, const PreparedIpQuery& pq, DistanceMetric metric,
           double query_norm, CodeSlots slots, const BlockedCodes* blocked,
           DecodedInputs decoded = {});

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
  // The scores a graph walk orders nodes by, into scores, every slot's lines
  // asked for before the first is scored (a walk's neighbours lie
  // scattered): exact_score, except that L2 with reconstruction norms takes
  // <q, x̂> from the f32 estimate kernel Ip and Cosine score with instead of
  // decoded_score's f64 terms. Both are <q, x̂> up to rounding; the walk
  // scores thousands of nodes per query, and its kept hits are scored again
  // by exact_score.
  void walk_scores(std::span<const std::uint32_t> slots, std::span<double> scores) const;

  // The score of the query against the slot's decoded vector times its
  // stored norm, as filter::score_vectors_with_metric gives it, up to
  // rounding: from <q, x̂> and ‖x̂‖² in f64,
  //   Ip      ν·<q, x̂>
  //   Cosine  ν·<q, x̂> / (‖q‖·|ν|·‖x̂‖), 0.0 when that divisor is 0
  //   L2      -sqrt(‖q‖² - 2ν·<q, x̂> + ν²·‖x̂‖²)
  // ν the stored norm. A slot the norms do not cover (Cosine, L2), or a scan
  // without a prepared query, is decoded instead.
  double decoded_score(std::uint32_t slot) const;

 private:
  // Upper bounds of the scores of block's 32 slots; returns their maximum
  // (NaN when one is NaN).
  double block_score_bounds(std::size_t block, double* bounds) const;
  // An L2 candidate's score bound from its f32 estimate (l2_bound.h): a
  // third of the exact score's cost, and far closer than the first pass's.
  double estimate_score_bound(std::uint32_t slot) const;
  // The bytes of a slot; panics when it lies outside them.
  const std::uint8_t* slot_at(std::uint32_t slot) const;
  // decoded_score of slot bytes p by decoding the code.
  double written_score(const std::uint8_t* p) const;
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
  DistanceMetric metric_;
  double query_norm_;
  CodeSlots slots_;
  const BlockedCodes* blocked_;
  std::optional<FirstPassQuery> first_pass_;
  DecodedInputs decoded_;
  double query_sq_ = 0.0;  // ‖q‖² of decoded.query, summed in order
  std::optional<L2ScoreBound> l2_bound_;
  std::size_t mse_len_;
  std::size_t sign_len_;
};

}  // namespace velq::engine
