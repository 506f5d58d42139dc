#include "engine/filter_resolve.h"

#include "storage/metadata/filter.h"
#include "storage/metadata/filter_candidates.h"

namespace velq {

std::optional<IndexResolution> resolve_filter_via_index(const EngineState& state,
                                                        const JsonObject& filter) {
  std::optional<filter::IndexCandidates> found = filter::index_candidates(state.metadata, filter);
  if (!found) return std::nullopt;
  std::erase_if(found->slots, [&](std::uint32_t s) { return !state.slots.ids().is_listed(s); });
  return IndexResolution{std::move(found->slots), found->exact};
}

std::vector<std::uint32_t> filter_given_candidates(const EngineState& state,
                                                   std::span<const std::uint32_t> slots,
                                                   const JsonObject& filter) {
  std::vector<std::uint32_t> out;
  for (const std::uint32_t s : slots) {
    const MetadataEntry* stored = state.metadata.find(s);
    if (stored != nullptr && filter::metadata_matches_filter(stored->metadata.properties, filter)) {
      out.push_back(s);
    }
  }
  return out;
}

std::vector<std::uint32_t> filter_candidates(const EngineState& state, const JsonObject& filter) {
  // The indexes first: a selective filter then never lists every active slot.
  std::optional<IndexResolution> resolved = resolve_filter_via_index(state, filter);
  if (!resolved) return filter_given_candidates(state, state.slots.ids().active_slots(), filter);
  if (resolved->exact) return std::move(resolved->slots);
  return filter_given_candidates(state, resolved->slots, filter);
}

}  // namespace velq
