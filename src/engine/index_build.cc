#include "engine/index_build.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "engine/flush.h"
#include "engine/persist.h"
#include "engine/raw_vectors.h"
#include "engine/slot_layout.h"
#include "engine/slot_scorer.h"
#include "index/prepared_nodes.h"
#include "search/reconstruction_norms.h"
#include "search/vector_scoring.h"

namespace velq {

namespace {

// Scores every candidate with f(c), in candidate order, calling prefetch()
// a few candidates ahead so their data arrives while the current one is
// scored.
template <typename Prefetch, typename F>
std::vector<ScoredNode> score_each(std::span<const std::uint32_t> candidates,
                                   const Prefetch& prefetch, F&& f) {
  constexpr std::size_t kAhead = 4;
  std::vector<ScoredNode> out;
  out.reserve(candidates.size());
  for (std::size_t i = 0; i < std::min(kAhead, candidates.size()); ++i) prefetch(candidates[i]);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (i + kAhead < candidates.size()) prefetch(candidates[i + kAhead]);
    out.push_back({candidates[i], f(candidates[i])});
  }
  return out;
}

// The prefetch of score_each for scorers that read the candidates' codes.
auto code_prefetch(const NodeCodes& codes) {
  return [&codes](std::uint32_t node) { codes.prefetch(node); };
}

// Stored norm of c x (m(a, c) + s(a, c)); without the norm for Cosine.
BuildScorer code_scorer(const NodeCodes& codes, bool with_norm) {
  const PreparedNodes<PreparedIpQueryLite> prepared(
      codes.size(), sizeof(PreparedIpQueryLite) + codes.levels_bytes());
  return [&codes, with_norm, prepared](std::uint32_t a, std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) return std::vector<ScoredNode>();
    const CodeSlotView a_code = codes.at(a);
    const PreparedIpQueryLite& levels = prepared.get(a, [&] { return codes.levels_query(a_code); });
    return score_each(candidates, code_prefetch(codes), [&](std::uint32_t c) {
      const CodeSlotView c_code = codes.at(c);
      const double e = codes.code_estimate(levels, a_code, c_code);
      return with_norm ? c_code.norm * e : e;
    });
  };
}

// Ip / Cosine with raw vectors: a's raw vector (narrowed to f32) against c's
// code, times c's norm (Ip) or over |raw(a)| (Cosine).
BuildScorer raw_ip_scorer(const EngineState& state, const NodeCodes& codes,
                          std::span<const std::uint32_t> slots) {
  struct RawQuery {
    PreparedIpQueryLite pq;
    double norm = 1.0;  // |raw(a)| for Cosine
  };
  const bool cosine = state.metric() == DistanceMetric::kCosine;
  const std::size_t n = state.quantizer->n();
  const PreparedNodes<RawQuery> prepared(slots.size(), sizeof(RawQuery) + 2 * n * sizeof(float));
  return [&state, &codes, slots, cosine, prepared](std::uint32_t a,
                                                   std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) return std::vector<ScoredNode>();
    const RawQuery& query = prepared.get(a, [&] {
      const std::vector<double> raw = live_raw_vector_at_slot(state, slots[a]);
      const std::vector<float> narrow(raw.begin(), raw.end());
      return RawQuery{state.quantizer->prepare_ip_query_lite(narrow),
                      cosine ? query_norm(raw) : 1.0};
    });
    const PreparedIpQueryLite& pq = query.pq;
    const double norm_a = query.norm;
    return score_each(candidates, code_prefetch(codes), [&](std::uint32_t c) {
      // The estimate of <raw(a), unit(c)>: times |c| an inner product, over
      // |raw(a)| a cosine.
      const CodeSlotView code = codes.at(c);
      const double e = state.quantizer->score_ip_packed_lite(pq, code.packed_mse, code.qjl_bits,
                                                             code.gamma);
      if (!cosine) return e * code.norm;
      return norm_a > 0.0 ? e / norm_a : 0.0;
    });
  };
}

// L2 with raw vectors: minus the distance between two nodes' raw vectors.
BuildScorer raw_l2_scorer(const EngineState& state, std::span<const std::uint32_t> slots) {
  return [&state, slots](std::uint32_t a, std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) return std::vector<ScoredNode>();
    std::vector<double> va;
    std::vector<double> vc;
    live_raw_vector_into(state, slots[a], va);
    return score_each(candidates, [](std::uint32_t) {}, [&](std::uint32_t c) {
      live_raw_vector_into(state, slots[c], vc);
      return filter::score_vectors_with_metric(DistanceMetric::kL2, va, vc);
    });
  };
}

// The engine's reconstruction norms of every slot, or, when it keeps none
// covering them, ones built into `own` from the slot file.
const ReconstructionNorms& reconstruction_norms(const EngineState& state,
                                                std::optional<ReconstructionNorms>& own) {
  const std::size_t count = state.id_pool.slot_count();
  if (state.reconstruction_norms.has_value() && state.reconstruction_norms->size() >= count) {
    return *state.reconstruction_norms;
  }
  return own.emplace(ReconstructionNorms::build(*state.quantizer, state.live_codes.mapped_bytes(),
                                                state.layout.stride, count));
}

// The parameters go into manifest.json, whose numbers are finite: a NaN or
// infinite alpha is refused before anything is built or written.
Status check_params(const IndexParams& params) {
  if (std::isfinite(params.alpha)) return ok_status();
  return Error::invalid_argument("alpha must be a finite number, got " + std::to_string(params.alpha));
}

// The prepared forms of the decoded vectors of nodes first ..
// first + out.size() - 1 (out.size() <= kPrepareBlock): decoded together,
// then rotated and projected together, one pass over each dense matrix per
// step for the whole block, each with the bits of preparing it alone.
// Weighting the signs as dequantize does turns the estimate of <x, c> into
// <x̂_a, x̂_c> in f32.
constexpr std::size_t kPrepareBlock = ProdQuantizer::kQueryBlockRows;

void prepare_decoded(const ProdQuantizer& q, const NodeCodes& codes, std::size_t first,
                     std::span<PreparedIpQueryLite> out) {
  const std::size_t d = q.d(), n = q.n(), take = out.size();
  StoredCode stored[kPrepareBlock];
  for (std::size_t i = 0; i < take; ++i) {
    const CodeSlotView code = codes.at(static_cast<std::uint32_t>(first + i));
    stored[i] = {code.packed_mse, code.qjl_bits, code.gamma};
  }
  std::vector<double> decoded(take * d);
  decode_codes(q, std::span(stored, take), decoded);
  const std::vector<float> narrow(decoded.begin(), decoded.end());
  std::vector<float> rotated(take * n);
  q.mse_quantizer().rotate_queries(narrow, rotated);
  // Without a sketch the product reads the rotation only.
  std::vector<float> projected(q.fast_mode() ? 0 : take * n);
  if (!q.fast_mode()) q.qjl_quantizer().project_queries(narrow, projected);
  for (std::size_t i = 0; i < take; ++i) {
    out[i].q_rot.assign(rotated.begin() + i * n, rotated.begin() + (i + 1) * n);
    if (!q.fast_mode()) {
      out[i].q_proj.assign(projected.begin() + i * n, projected.begin() + (i + 1) * n);
    }
    out[i].qjl_scale = q.qjl_reconstruction_scale();
  }
}

}  // namespace

// The distance as the decoded vectors themselves give it up to rounding:
//   ‖ν_a·x̂_a − ν_c·x̂_c‖² = ν_a²‖x̂_a‖² + ν_c²‖x̂_c‖² − 2ν_aν_c<x̂_a, x̂_c>
// in f64, ‖x̂‖² being the per-slot reconstruction norm the engine keeps.
// <x̂_a, x̂_c> comes from a's decoded vector rotated and projected (kept
// like a raw query) against c's code, so no decoded vector outlives the
// block of nodes prepared with it. The product is summed in f32: the f64
// sums cost twice as much here, and the rounding of either leaves the
// seeded graph of the decoded vectors as it is (index_build_test).
BuildScorer l2_code_scorer(const EngineState& state, const NodeCodes& codes,
                           const ReconstructionNorms& norms, std::span<const std::uint32_t> slots) {
  const ProdQuantizer& q = *state.quantizer;
  const std::size_t transforms = q.fast_mode() ? 1 : 2;
  const PreparedNodes<PreparedIpQueryLite> prepared(
      slots.size(), sizeof(PreparedIpQueryLite) + transforms * q.n() * sizeof(float));
  prepared.prepare_all(kPrepareBlock, [&q, &codes](std::size_t first,
                                                   std::span<PreparedIpQueryLite> out) {
    prepare_decoded(q, codes, first, out);
  });
  // ν²‖x̂‖² of every node in node order, so a candidate's is one read
  // beside its code rather than one through the slot list.
  const auto lengths = std::make_shared<std::vector<double>>(slots.size());
  parallel_for(slots.size(), 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const double nu = codes.at(static_cast<std::uint32_t>(i)).norm;
      (*lengths)[i] = nu * nu * norms.squared(slots[i]);
    }
  });
  return [&q, &codes, lengths, prepared](std::uint32_t a,
                                         std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) return std::vector<ScoredNode>();
    const PreparedIpQueryLite& pq = prepared.get(a, [&] {
      PreparedIpQueryLite one;
      prepare_decoded(q, codes, a, std::span(&one, 1));
      return one;
    });
    const double nu_a = codes.at(a).norm;
    const double a_sq = (*lengths)[a];
    return score_each(candidates, code_prefetch(codes), [&](std::uint32_t c) {
      const CodeSlotView c_code = codes.at(c);
      const double ip =
          q.score_ip_packed_lite(pq, c_code.packed_mse, c_code.qjl_bits, c_code.gamma);
      const double squared = a_sq + (*lengths)[c] - 2.0 * nu_a * c_code.norm * ip;
      // std::max keeps a NaN, as the decoded vectors' distance would.
      return -std::sqrt(std::max(squared, 0.0));
    });
  };
}

Status create_index_with_params(EngineState& state, const IndexParams& params) {
  VELQ_RETURN_IF_ERROR(check_params(params));
  VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  std::vector<std::uint32_t> slots = state.id_pool.active_slots();
  if (slots.empty()) return ok_status();

  const bool raw = state.live_vectors.has_value();
  std::optional<NodeCodes> codes;  // the raw L2 scorer never reads codes
  std::optional<ReconstructionNorms> own_norms;
  BuildScorer scorer;
  switch (state.metric()) {
    case DistanceMetric::kIp:
    case DistanceMetric::kCosine:
      codes.emplace(state, slots);
      scorer = raw ? raw_ip_scorer(state, *codes, slots)
                   : code_scorer(*codes, state.metric() == DistanceMetric::kIp);
      break;
    case DistanceMetric::kL2:
      if (raw) {
        scorer = raw_l2_scorer(state, slots);
      } else {
        codes.emplace(state, slots);
        scorer = l2_code_scorer(state, *codes, reconstruction_norms(state, own_norms), slots);
      }
      break;
  }
  VELQ_RETURN_IF_ERROR(state.index.build(std::move(slots), params, std::move(scorer)));
  return maybe_persist_state(state, true);
}

Status create_index_incremental(EngineState& state, const IndexParams& params) {
  VELQ_RETURN_IF_ERROR(check_params(params));
  if (!state.index.has_graph()) return create_index_with_params(state, params);
  if (state.index.delta().empty()) return ok_status();
  VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  std::vector<std::uint32_t> slots = state.id_pool.active_slots();
  if (slots.empty()) return ok_status();

  // One scale for every metric: the code-to-code estimate times the norm.
  const NodeCodes codes(state, slots);
  VELQ_RETURN_IF_ERROR(state.index.extend(std::move(slots), params, code_scorer(codes, true)));
  return maybe_persist_state(state, true);
}

}  // namespace velq
