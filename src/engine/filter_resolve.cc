#include "engine/filter_resolve.h"

#include "storage/metadata/filter.h"
#include "storage/metadata/filter_candidates.h"

namespace velq {

std::optional<IndexResolution> resolve_filter_via_index(const EngineState& state,
                                                        const JsonObject& filter,
                                                        const SlotBitmap& allowed) {
  std::optional<filter::IndexCandidates> found = filter::index_candidates(state.metadata, filter);
  if (!found) return std::nullopt;
  std::erase_if(found->slots, [&](std::uint32_t s) { return !allowed.contains(s); });
  return IndexResolution{std::move(found->slots), found->exact};
}

std::vector<std::uint32_t> filter_given_candidates(const EngineState& state,
                                                   std::span<const std::uint32_t> slots,
                                                   const JsonObject& filter) {
  const auto metadata = state.metadata.get_many(slots);
  std::vector<std::uint32_t> out;
  for (const std::uint32_t s : slots) {
    const auto it = metadata.find(s);
    if (it != metadata.end() && filter::metadata_matches_filter(it->second.properties, filter)) {
      out.push_back(s);
    }
  }
  return out;
}

std::vector<std::uint32_t> filter_candidates(const EngineState& state, const JsonObject& filter) {
  std::vector<std::uint32_t> active = state.id_pool.active_slots();
  if (active.empty()) return active;
  const SlotBitmap allowed(state.id_pool.slot_count(), active);
  std::optional<IndexResolution> resolved = resolve_filter_via_index(state, filter, allowed);
  if (!resolved) return filter_given_candidates(state, active, filter);
  if (resolved->exact) return std::move(resolved->slots);
  return filter_given_candidates(state, resolved->slots, filter);
}

}  // namespace velq
