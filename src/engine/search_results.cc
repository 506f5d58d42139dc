#include "engine/search_results.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>

#include "common/worker_pool.h"
#include "engine/raw_vectors.h"
#include "engine/slot_scorer.h"
#include "search/vector_scoring.h"
#include "index/scored_node.h"

namespace velq {

namespace {

// Rescoring from codes decodes the pooled codes and scores the decoded
// vectors (the plain rule) while that costs less than this many units of
// decode_cost, some 20 µs: a few dozen small dense codes, or an SRHT pool
// of 10 to 70 codes at d = 128 to 384; beyond it each score comes from
// <q, x̂> (CodeScan::decoded_score), the same value up to rounding, at no
// reconstruction (4 to 100 times cheaper per code, measured).
constexpr double kDecodeBudget = 3.3e5;
// A code whose decode costs more than this (a dense code from d = 224 on:
// several µs, as much as the rest of a search of a small database) is
// never decoded, however few codes the pool holds.
constexpr double kDecodeOneMax = 1e5;

// Decoding one code, in multiply-adds of a dense product: d² per dense
// transform; a Hadamard transform's n·log2(n) steps cost about 2.5 of those
// each (scratch copies, scaling, short vectors); one transform in fast mode.
double decode_cost(const ProdQuantizer& q) {
  const double transforms = q.fast_mode() ? 1.0 : 2.0;
  const double n = static_cast<double>(q.n());
  const double d = static_cast<double>(q.d());
  return transforms * (q.mse_quantizer().is_dense() ? d * d : 2.5 * n * std::bit_width(q.n()));
}

// Full-precision scores of the hits, by index; independent of the thread
// count (each score is a function of its slot alone).
std::vector<double> rescore(const EngineState& state, const SlotScorer& scorer,
                            std::span<const double> query,
                            std::span<const engine::ScoredSlot> hits) {
  std::vector<double> scores(hits.size());
  const bool raw = state.live_vectors.has_value();
  const double one = decode_cost(*state.quantizer);
  const bool from_terms =
      !raw && (one > kDecodeOneMax || static_cast<double>(hits.size()) * one > kDecodeBudget);
  if (from_terms && state.metric() == DistanceMetric::kL2) {
    // The L2 scan scored each slot by the same terms.
    for (std::size_t i = 0; i < hits.size(); ++i) scores[i] = hits[i].score;
    return scores;
  }
  // A raw vector or a code's terms are scored in about d operations, a
  // decode takes two d x d products: hand the pool only what outweighs its
  // own cost (a few microseconds), never the handful of hits a single
  // search keeps.
  constexpr std::size_t kTermsPerTask = 1 << 16;
  const std::size_t grain =
      raw || from_terms
          ? std::max<std::size_t>(8, kTermsPerTask / std::max<std::size_t>(1, state.d()))
          : 8;
  parallel_for(hits.size(), grain, [&](std::size_t begin, std::size_t end) {
    if (raw) {
      // Vectors lie scattered over the file: each is asked for a few hits
      // before it is read.
      constexpr std::size_t kAhead = 4;
      for (std::size_t i = begin; i < std::min(end, begin + kAhead); ++i) {
        prefetch_raw_vector(state, hits[i].slot);
      }
      std::vector<double> vector;
      for (std::size_t i = begin; i < end; ++i) {
        if (i + kAhead < end) prefetch_raw_vector(state, hits[i + kAhead].slot);
        live_raw_vector_into(state, hits[i].slot, vector);
        scores[i] = filter::score_vectors_with_metric(state.metric(), query, vector);
      }
      return;
    }
    if (from_terms) {
      for (std::size_t i = begin; i < end; ++i) {
        scores[i] = scorer.code_scan().decoded_score(hits[i].slot);
      }
      return;
    }
    // From the codes: the range's hits decoded together.
    std::vector<std::uint32_t> slots;
    for (std::size_t i = begin; i < end; ++i) slots.push_back(hits[i].slot);
    std::vector<double> decoded;
    dequantize_slots(state, slots, decoded);
    const std::size_t d = state.d();
    for (std::size_t i = begin; i < end; ++i) {
      scores[i] = filter::score_vectors_with_metric(
          state.metric(), query, std::span<const double>(decoded).subspan((i - begin) * d, d));
    }
  });
  return scores;
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<std::uint64_t>::max();
  return out;
}

std::vector<SearchResult> ranked_results(const EngineState& state, const SlotScorer& scorer,
                                         std::span<const double> query,
                                         std::span<const engine::ScoredSlot> hits,
                                         std::uint64_t top_k) {
  std::vector<double> scores;
  if (state.rerank_enabled()) {
    scores = rescore(state, scorer, query, hits);
  } else {
    scores.reserve(hits.size());
    for (const engine::ScoredSlot& h : hits) scores.push_back(h.score);
  }
  // The stable sort of the hits' indexes by score is the permutation the
  // stable sort of their results would make.
  std::vector<std::size_t> order(hits.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ranks_before(scores[a], scores[b]); });
  if (order.size() > top_k) order.resize(static_cast<std::size_t>(top_k));

  std::vector<std::uint32_t> slots;
  slots.reserve(order.size());
  for (const std::size_t i : order) slots.push_back(hits[i].slot);
  const auto metadata = state.metadata.get_many(slots);
  std::vector<SearchResult> results(order.size());
  for (std::size_t r = 0; r < order.size(); ++r) {
    SearchResult& out = results[r];
    const std::uint32_t slot = slots[r];
    out.id = std::string(state.id_pool.id_at(slot).value_or(std::string_view()));
    out.score = scores[order[r]];
    const auto it = metadata.find(slot);
    if (it != metadata.end()) {
      out.metadata = it->second.properties;
      if (const auto doc = it->second.document()) out.document = std::string(*doc);
    }
  }
  return results;
}

void sort_and_truncate(std::vector<SearchResult>& results, std::uint64_t top_k) {
  std::stable_sort(results.begin(), results.end(), [](const SearchResult& a, const SearchResult& b) {
    return ranks_before(a.score, b.score);
  });
  if (results.size() > top_k) results.resize(static_cast<std::size_t>(top_k));
}

}  // namespace velq
