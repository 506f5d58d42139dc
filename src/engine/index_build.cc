#include "engine/index_build.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "engine/flush.h"
#include "engine/node_codes.h"
#include "engine/persist.h"
#include "index/prepared_nodes.h"
#include "engine/raw_vectors.h"
#include "engine/slot_layout.h"
#include "engine/slot_scorer.h"
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
  const bool cosine = state.metric == DistanceMetric::kCosine;
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

// L2: minus the distance between two vectors of `vectors(node)`.
template <typename VectorOf>
BuildScorer l2_scorer(VectorOf vector_of) {
  return [vector_of](std::uint32_t a, std::span<const std::uint32_t> candidates) {
    if (candidates.empty()) return std::vector<ScoredNode>();
    std::vector<double> va;
    std::vector<double> vc;
    vector_of(a, va);
    return score_each(candidates, [](std::uint32_t) {}, [&](std::uint32_t c) {
      vector_of(c, vc);
      return filter::score_vectors_with_metric(DistanceMetric::kL2, va, vc);
    });
  };
}

// Every node's dequantized code times its norm, node-major, d per node.
std::vector<double> dequantized_table(const EngineState& state, std::span<const std::uint32_t> slots) {
  const std::size_t d = state.d;
  std::vector<double> table(slots.size() * d);
  parallel_for(slots.size(), 64, [&](std::size_t begin, std::size_t end) {
    std::vector<double> part;
    dequantize_slots(state, slots.subspan(begin, end - begin), part);
    std::copy(part.begin(), part.end(), table.begin() + static_cast<std::ptrdiff_t>(begin * d));
  });
  return table;
}

// The parameters go into manifest.json, whose numbers are finite: a NaN or
// infinite alpha is refused before anything is built or written.
Status check_params(const IndexParams& params) {
  if (std::isfinite(params.alpha)) return ok_status();
  return Error::invalid_argument("alpha must be a finite number, got " + std::to_string(params.alpha));
}

void record_index(EngineState& state, std::vector<std::uint32_t> slots) {
  state.index_ids = std::move(slots);
  state.index_ids_dirty = true;
  state.delta_ids_dirty = true;
  state.delta_ids.clear();
}

}  // namespace

Status create_index_with_params(EngineState& state, const IndexParams& params) {
  VELQ_RETURN_IF_ERROR(check_params(params));
  VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  std::vector<std::uint32_t> slots = state.id_pool.active_slots();
  if (slots.empty()) return ok_status();

  const bool raw = state.live_vectors.has_value();
  std::optional<NodeCodes> codes;  // the L2 scorers never read codes
  std::vector<double> deq;
  BuildScorer scorer;
  switch (state.metric) {
    case DistanceMetric::kIp:
    case DistanceMetric::kCosine:
      codes.emplace(state, slots);
      scorer = raw ? raw_ip_scorer(state, *codes, slots)
                   : code_scorer(*codes, state.metric == DistanceMetric::kIp);
      break;
    case DistanceMetric::kL2:
      if (raw) {
        scorer = l2_scorer([&state, &slots](std::uint32_t node, std::vector<double>& out) {
          live_raw_vector_into(state, slots[node], out);
        });
      } else {
        deq = dequantized_table(state, slots);
        const std::size_t d = state.d;
        scorer = l2_scorer([&deq, d](std::uint32_t node, std::vector<double>& out) {
          const auto first = deq.begin() + static_cast<std::ptrdiff_t>(std::size_t{node} * d);
          out.assign(first, first + static_cast<std::ptrdiff_t>(d));
        });
      }
      break;
  }
  const std::size_t n = slots.size();
  VELQ_RETURN_IF_ERROR(state.graph.build(n, params.max_degree, params.ef_construction,
                                         params.n_refinements, std::move(scorer), params.alpha));
  record_index(state, std::move(slots));
  state.manifest.index_state = IndexState{params.max_degree, params.ef_construction,
                                          params.search_list_size, params.alpha, n};
  return maybe_persist_state(state, true);
}

Status create_index_incremental(EngineState& state, const IndexParams& params) {
  VELQ_RETURN_IF_ERROR(check_params(params));
  const bool has_graph = state.graph.is_loaded() && state.graph.n_nodes() > 0;
  if (has_graph && state.delta_ids.empty()) return ok_status();
  if (!has_graph) return create_index_with_params(state, params);
  VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  std::vector<std::uint32_t> slots = state.id_pool.active_slots();
  if (slots.empty()) return ok_status();

  // One scale for every metric: the code-to-code estimate times the norm.
  const NodeCodes codes(state, slots);
  const std::size_t n = slots.size();
  VELQ_RETURN_IF_ERROR(state.graph.build_incremental(n, params.max_degree, params.ef_construction,
                                                     params.n_refinements,
                                                     code_scorer(codes, true), params.alpha));
  record_index(state, std::move(slots));
  if (state.manifest.index_state.has_value()) {
    state.manifest.index_state->search_list_size = params.search_list_size;
    state.manifest.index_state->indexed_nodes = n;
  }
  return maybe_persist_state(state, true);
}

}  // namespace velq
