#include "search/raw_vectors.h"

#include <algorithm>

#include "engine/state/slot_layout.h"

namespace velq {

void live_raw_vector_into(const EngineState& state, std::uint32_t slot, std::vector<double>& out) {
  if (!state.slots.vectors().has_value()) {
    out.assign(state.d(), 0.0);
    return;
  }
  // Every value is written below: no zeros first (a rescoring loop reads
  // hundreds of vectors per search into one buffer).
  out.resize(state.d());
  // Widen in runs of a few values, without a heap buffer of f32.
  constexpr std::size_t kRun = 64;
  float narrow[kRun];
  const std::span<const std::uint8_t> bytes = state.slots.vectors()->slot(slot);
  const std::size_t width = raw_value_width(state.manifest.rerank_precision);
  for (std::size_t first = 0; first < state.d(); first += kRun) {
    const std::size_t count = std::min(kRun, state.d() - first);
    read_raw_vector(state.manifest.rerank_precision, bytes.subspan(first * width),
                    std::span<float>(narrow, count));
    std::copy(narrow, narrow + count, out.begin() + static_cast<std::ptrdiff_t>(first));
  }
}

void prefetch_raw_vector(const EngineState& state, std::uint32_t slot) {
  const std::optional<LiveCodesFile>& vectors = state.slots.vectors();
  if (!vectors.has_value() || !vectors->is_mapped()) return;
  const std::span<const std::uint8_t> bytes = vectors->mapped_bytes();
  const std::size_t stride = static_cast<std::size_t>(vectors->stride());
  const std::size_t at = std::size_t{slot} * stride;
  if (at >= bytes.size() || stride > bytes.size() - at) return;
  for (std::size_t line = 0; line < stride; line += 64) __builtin_prefetch(bytes.data() + at + line);
}

std::vector<double> live_raw_vector_at_slot(const EngineState& state, std::uint32_t slot) {
  std::vector<double> out;
  live_raw_vector_into(state, slot, out);
  return out;
}

}  // namespace velq
