#include "engine/engine_index.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "common/panic.h"
#include "engine/db_files.h"

namespace velq {

EngineIndex::EngineIndex(GraphManager graph, std::vector<std::uint32_t> node_slots,
                         std::vector<std::uint32_t> delta, std::optional<IndexState> params)
    : graph_(std::move(graph)),
      node_slots_(std::move(node_slots)),
      delta_(std::move(delta)),
      params_(std::move(params)) {}

bool EngineIndex::usable() const {
  // The node count must match too: a graph with more nodes than the list
  // would return nodes that stand for no slot.
  return has_graph() && !node_slots_.empty() && params_.has_value() &&
         params_->indexed_nodes == node_slots_.size() && graph_.n_nodes() == node_slots_.size();
}

bool EngineIndex::in_delta(std::uint32_t slot) const {
  return std::binary_search(delta_.begin(), delta_.end(), slot);
}

void EngineIndex::no_slot(std::uint32_t node) const {
  panic("graph node " + std::to_string(node) + " has no slot (" +
        std::to_string(node_slots_.size()) + " indexed slots)");
}

SearchRoad EngineIndex::road(std::uint64_t active, std::optional<bool> use_ann) const {
  return choose_road(RouteCounts{usable(), active, delta_.size()}, use_ann);
}

void EngineIndex::note_written(std::span<const std::uint32_t> slots) {
  if (node_slots_.empty() || slots.empty()) return;
  std::vector<std::uint32_t> added(slots.begin(), slots.end());
  std::sort(added.begin(), added.end());
  std::vector<std::uint32_t> merged;
  merged.reserve(delta_.size() + added.size());
  std::set_union(delta_.begin(), delta_.end(), added.begin(), added.end(),
                 std::back_inserter(merged));
  merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
  if (merged.size() == delta_.size()) return;
  delta_ = std::move(merged);
  delta_changed_ = true;
}

void EngineIndex::drop() {
  node_slots_.clear();
  params_.reset();
  node_slots_changed_ = true;
}

void EngineIndex::set_aside() {
  delta_.clear();
  delta_changed_ = true;
  drop();
  graph_.unload();
}

void EngineIndex::record_build(std::vector<std::uint32_t> slots) {
  node_slots_ = std::move(slots);
  delta_.clear();
  node_slots_changed_ = true;
  delta_changed_ = true;
}

Status EngineIndex::build(std::vector<std::uint32_t> slots, const IndexParams& params,
                          BuildScorer scorer) {
  const std::size_t n = slots.size();
  VELQ_RETURN_IF_ERROR(graph_.build(n, params.max_degree, params.ef_construction,
                                    params.n_refinements, std::move(scorer), params.alpha));
  record_build(std::move(slots));
  params_ = IndexState{params.max_degree, params.ef_construction, params.search_list_size,
                       params.alpha, n};
  return ok_status();
}

Status EngineIndex::extend(std::vector<std::uint32_t> slots, const IndexParams& params,
                           BuildScorer scorer) {
  const std::size_t n = slots.size();
  VELQ_RETURN_IF_ERROR(graph_.build_incremental(n, params.max_degree, params.ef_construction,
                                                params.n_refinements, std::move(scorer),
                                                params.alpha));
  record_build(std::move(slots));
  if (params_.has_value()) {
    params_->search_list_size = params.search_list_size;
    params_->indexed_nodes = n;
  }
  return ok_status();
}

Status EngineIndex::write_lists(const ListWriter& write) {
  const auto bytes = [](const std::string& text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  if (node_slots_changed_) {
    VELQ_RETURN_IF_ERROR(write(db_files::kGraphIds, bytes(serialize_index_ids(node_slots_))));
    node_slots_changed_ = false;
  }
  if (delta_changed_) {
    VELQ_RETURN_IF_ERROR(write(db_files::kDeltaIds, bytes(serialize_index_ids(delta_))));
    delta_changed_ = false;
  }
  return ok_status();
}

}  // namespace velq
