// The graph index of one open database and the lists that tie it to slots:
// the slot each graph node stands for (graph_ids.json), the slots written
// since the build (delta_ids.json, which every graph search also scans) and
// the parameters of the build (manifest.json's index state).
//
// Invariants kept here rather than by callers:
// - the index answers searches only while the graph, the node list and the
//   stored node count agree (usable());
// - the delta list is ascending without repeats, and a slot written while an
//   index exists joins it, so a rewritten node is never answered from its
//   old links alone;
// - a list whose file is out of date stays marked until it is written.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "engine/engine_types.h"
#include "engine/manifest.h"
#include "index/graph_manager.h"
#include "search/search_route.h"

namespace velq {

class EngineIndex {
 public:
  // The parts as read back at open. They may disagree (a graph.bin from a
  // later build than graph_ids.json, say): usable() then says no.
  EngineIndex(GraphManager graph, std::vector<std::uint32_t> node_slots,
              std::vector<std::uint32_t> delta, std::optional<IndexState> params);

  // The graph may answer searches.
  bool usable() const;
  // A graph with nodes is mapped (usable or not): an update extends it.
  bool has_graph() const { return graph_.is_loaded() && graph_.n_nodes() > 0; }
  const GraphManager& graph() const { return graph_; }
  // Node i stands for node_slots()[i]; empty without an index.
  std::span<const std::uint32_t> node_slots() const { return node_slots_; }
  // Ascending.
  std::span<const std::uint32_t> delta() const { return delta_; }
  bool in_delta(std::uint32_t slot) const;
  // The stored build parameters; absent without an index.
  const std::optional<IndexState>& params() const { return params_; }
  // The slot of a node the graph returned; panics on a node beyond the list.
  // Inline: a walk asks it for every node it scores.
  std::uint32_t slot_of_node(std::uint32_t node) const {
    if (node >= node_slots_.size()) [[unlikely]] no_slot(node);
    return node_slots_[node];
  }

  // The road a search over `active` records takes (choose_road).
  SearchRoad road(std::uint64_t active, std::optional<bool> use_ann) const;

  // Slots whose vectors were just written (any order, repeats allowed):
  // with an index, they join the delta list, since a new record is no node
  // and a rewritten node's links describe its old vector.
  void note_written(std::span<const std::uint32_t> slots);

  // Forgets the index: searches scan until the next build. The graph file
  // and the delta list stay.
  void drop();
  // Forgets the index, the delta list and the mapped graph, for lists that
  // cannot be trusted: the next update builds the graph whole.
  void set_aside();

  // Builds the graph over `slots` (node i = slots[i]) from scratch; the
  // delta list empties and the parameters are stored. A failed build
  // changes nothing.
  Status build(std::vector<std::uint32_t> slots, const IndexParams& params, BuildScorer scorer);
  // Extends the mapped graph to `slots`, whose first nodes keep their
  // slots. Keeps the stored parameters except the search list size and the
  // node count, and leaves them absent when the index was dropped.
  Status extend(std::vector<std::uint32_t> slots, const IndexParams& params, BuildScorer scorer);

  // Writes each list whose file is out of date through `write` (file name,
  // bytes); a list stays marked until its write succeeds.
  using ListWriter = std::function<Status(std::string_view name, std::span<const std::uint8_t> bytes)>;
  Status write_lists(const ListWriter& write);
  bool lists_changed() const { return node_slots_changed_ || delta_changed_; }

 private:
  [[noreturn]] void no_slot(std::uint32_t node) const;
  void record_build(std::vector<std::uint32_t> slots);

  GraphManager graph_;
  std::vector<std::uint32_t> node_slots_;
  std::vector<std::uint32_t> delta_;
  std::optional<IndexState> params_;
  bool node_slots_changed_ = false;
  bool delta_changed_ = false;
};

}  // namespace velq
