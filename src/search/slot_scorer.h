// The score of a slot's stored code against one query, the same for the
// exhaustive pool and the graph's node scorer so that graph hits and delta
// hits share one scale:
//   Ip      inner-product estimate x stored norm
//   Cosine  inner-product estimate / |query| (0.0 for a zero query)
//   L2      minus the distance to the dequantized vector x stored norm
// All read the packed code in place; L2 takes the distance from <q, x̂> and
// the code's reconstruction norm (CodeScan::decoded_score), and decodes the
// vector (decode_codes) only when the state keeps no norms.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "search/code_scan.h"
#include "engine/state/engine_state.h"

namespace velq {

class SlotScorer {
 public:
  // `state` and `query` (d values) must outlive the scorer. With `blocked`
  // (and for L2 the state's reconstruction norms) the scan may use the
  // two-stage form. `prepared`, when given, is query's entry of
  // prepare_search_queries, taken instead of preparing the query again.
  SlotScorer(const EngineState& state, std::span<const double> query,
             const BlockedCodes* blocked = nullptr, const PreparedIpQuery* prepared = nullptr);
  SlotScorer(const SlotScorer&) = delete;
  SlotScorer& operator=(const SlotScorer&) = delete;

  // Safe to call from several threads at once.
  double score(std::uint32_t slot) const;

  const engine::CodeScan& code_scan() const { return scan_; }

 private:
  PreparedIpQuery prepared_;
  engine::CodeScan scan_;
};

// The slots' codes decoded to full vectors times their stored norms, into
// out (slots.size()·d values), several codes per pass over a dense matrix.
void dequantize_slots(const EngineState& state, std::span<const std::uint32_t> slots,
                      std::vector<double>& out);

// The query a search scores: `query` itself, or its normalised copy in
// `storage` where the database normalises (a zero query stays as it is).
std::span<const double> scored_query(const EngineState& state, std::span<const double> query,
                                     std::vector<double>& storage);

// The prepared forms of rows.size() / d search queries, each what a
// SlotScorer prepares for its scored_query; empty when the metric scores
// without one (L2 without reconstruction norms). Blocks of rows share each
// pass over a dense matrix.
std::vector<PreparedIpQuery> prepare_search_queries(const EngineState& state,
                                                    std::span<const double> rows);

// Query norm sqrt(sum q_i^2).
double query_norm(std::span<const double> query);

}  // namespace velq
