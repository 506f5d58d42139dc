#include "engine/slot_scorer.h"

#include <cmath>

#include "engine/vector_scoring.h"

namespace velq {

namespace {

PreparedIpQuery prepare(const EngineState& state, std::span<const double> query) {
  if (state.metric == DistanceMetric::kL2) return {};
  const std::vector<float> narrow(query.begin(), query.end());
  return state.quantizer->prepare_ip_query(narrow);
}

engine::ScanMetric scan_metric(DistanceMetric metric) {
  return metric == DistanceMetric::kCosine ? engine::ScanMetric::kCosine : engine::ScanMetric::kIp;
}

engine::CodeSlots code_slots(const EngineState& state) {
  return {state.live_codes.mapped_bytes(), static_cast<std::size_t>(state.live_codes.stride())};
}

}  // namespace

double query_norm(std::span<const double> query) {
  double sum = 0.0;
  for (const double v : query) sum += v * v;
  return std::sqrt(sum);
}

void dequantize_slot(const EngineState& state, std::uint32_t slot, DecodeScratch& scratch) {
  const ProdQuantizer& q = *state.quantizer;
  const CodeSlotView code = read_code_slot(state.layout, state.live_codes.slot(slot));
  scratch.indices.resize(q.n());
  scratch.vector.resize(q.d());
  q.unpack_mse_indices(code.packed_mse, scratch.indices);
  q.dequantize_into(scratch.indices, code.qjl_bits, code.gamma, scratch.vector);
  const double norm = code.norm;
  for (double& v : scratch.vector) v *= norm;
}

SlotScorer::SlotScorer(const EngineState& state, std::span<const double> query,
                       const BlockedCodes* blocked)
    : state_(state),
      query_(query),
      prepared_(prepare(state, query)),
      scan_(*state.quantizer, prepared_, scan_metric(state.metric), query_norm(query),
            code_slots(state), is_l2() ? nullptr : blocked) {}

double SlotScorer::score(std::uint32_t slot, DecodeScratch& scratch) const {
  if (!is_l2()) return scan_.exact_score(slot);
  dequantize_slot(state_, slot, scratch);
  return filter::score_vectors_with_metric(DistanceMetric::kL2, query_, scratch.vector);
}

}  // namespace velq
