// The last pass over one level of a build, after the refinement rounds.
// Refined lists hold each node's best neighbours by score alone; on
// clustered data they all lie in the node's own cluster, the level falls
// apart into islands, and nodes that no list names can never be found. The
// pass offers every target node, besides its own list, the nodes whose
// lists name it (reverse links) and the best few entries of its initial
// list that the refinement dropped (drawn from a random sample of the whole
// level, they reach into other clusters), and keeps a diverse subset of
// them (pick_diverse): links between clusters survive and the nodes that
// named it can be named back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "storage/graph/graph_data.h"
#include "index/neighbor_selection.h"
#include "index/scored_node.h"

namespace velq {

// Random members of a node's initial sample that the pass offers as
// candidates: links to anywhere in the level, which no arrangement of
// clusters can leave all covered.
inline constexpr std::size_t kRandomLinks = 2;

// What the pass needs of one target node besides the lists.
struct MendInput {
  std::vector<double> list_scores;       // scores of the node's current list, entry by entry
  ScoredList initial;                    // its initial list, with scores
  std::vector<ScoredNode> random_links;  // up to kRandomLinks random sample members, scored
};

// Replaces the list of every node of `targets` (ascending) at one level;
// inputs[i] belongs to targets[i]. Reverse links are read from the targets'
// lists as they stand before the pass (the pass is synchronous, like a
// refinement round). New lists hold at most `degree` nodes, ascending.
// Runs on the worker pool.
void mend_level_lists(std::vector<NodeList>& lists, std::span<const std::uint32_t> targets,
                      std::span<const MendInput> inputs, std::size_t degree, double alpha,
                      const BuildScorer& scorer);

// Level-0 connectivity figures of a graph, to check what the pass above
// achieves: how much of the graph a search can reach from the entry point,
// and how many nodes no list names (such a node can never be returned,
// whatever the beam width).
struct Level0Reach {
  std::size_t reachable = 0;         // nodes reachable from the entry point, itself included
  std::size_t without_incoming = 0;  // nodes that no level-0 list names
};

// `list_at_0(node)` gives node's level-0 list; ids at or above n_nodes are
// ignored. An entry point outside the graph reaches nothing.
Level0Reach level0_reach(std::uint32_t n_nodes, std::uint32_t entry_point,
                         const std::function<NodeList(std::uint32_t node)>& list_at_0);

}  // namespace velq
