#include "engine/slot_scorer.h"

#include <algorithm>
#include <cmath>

#include "search/reconstruction_norms.h"

namespace velq {

namespace {

constexpr double kNormalizeFloor = 1e-10;

// L2 without reconstruction norms decodes every candidate: no prepared query.
bool needs_prepared_query(const EngineState& state) {
  return state.metric() != DistanceMetric::kL2 || state.reconstruction_norms.has_value();
}

PreparedIpQuery prepare(const EngineState& state, std::span<const double> query) {
  if (!needs_prepared_query(state)) return {};
  const std::vector<float> narrow(query.begin(), query.end());
  return state.quantizer->prepare_ip_query(narrow);
}

engine::DecodedInputs decoded_inputs(const EngineState& state, std::span<const double> query) {
  return {query, state.reconstruction_norms ? &*state.reconstruction_norms : nullptr};
}

engine::CodeSlots code_slots(const EngineState& state) {
  return {state.live_codes.mapped_bytes(), static_cast<std::size_t>(state.live_codes.stride())};
}

}  // namespace

std::span<const double> scored_query(const EngineState& state, std::span<const double> query,
                                     std::vector<double>& storage) {
  if (!state.normalize) return query;
  storage.assign(query.begin(), query.end());
  const double norm = query_norm(query);
  if (norm > kNormalizeFloor) {
    for (double& v : storage) v /= norm;
  }
  return storage;
}

std::vector<PreparedIpQuery> prepare_search_queries(const EngineState& state,
                                                    std::span<const double> rows) {
  if (!needs_prepared_query(state)) return {};
  const std::size_t d = state.quantizer->d();
  std::vector<float> narrow(rows.size());
  std::vector<double> storage;
  for (std::size_t r = 0; r < rows.size() / d; ++r) {
    const std::span<const double> q = scored_query(state, rows.subspan(r * d, d), storage);
    std::copy(q.begin(), q.end(), narrow.begin() + static_cast<std::ptrdiff_t>(r * d));
  }
  return state.quantizer->prepare_ip_queries(narrow);
}

double query_norm(std::span<const double> query) {
  double sum = 0.0;
  for (const double v : query) sum += v * v;
  return std::sqrt(sum);
}

void dequantize_slots(const EngineState& state, std::span<const std::uint32_t> slots,
                      std::vector<double>& out) {
  const ProdQuantizer& q = *state.quantizer;
  std::vector<StoredCode> codes(slots.size());
  std::vector<float> norms(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const CodeSlotView code = read_code_slot(state.layout, state.live_codes.slot(slots[i]));
    codes[i] = {code.packed_mse, code.qjl_bits, code.gamma};
    norms[i] = code.norm;
  }
  const std::size_t d = q.d();
  out.resize(slots.size() * d);
  decode_codes(q, codes, out);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const double norm = norms[i];
    for (std::size_t j = 0; j < d; ++j) out[i * d + j] *= norm;
  }
}

SlotScorer::SlotScorer(const EngineState& state, std::span<const double> query,
                       const BlockedCodes* blocked, const PreparedIpQuery* prepared)
    : prepared_(prepared ? *prepared : prepare(state, query)),
      scan_(*state.quantizer, prepared_, state.metric(), query_norm(query),
            code_slots(state), blocked, decoded_inputs(state, query)) {}

double SlotScorer::score(std::uint32_t slot) const { return scan_.exact_score(slot); }

}  // namespace velq
