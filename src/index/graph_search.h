// Approximate best-first search of a graph's in-memory lists: greedy
// descent through the upper levels with a fixed beam, then a beam search of
// width ef on level 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/slot_bitmap.h"
#include "storage/graph/graph_adjacency.h"
#include "index/scored_node.h"

namespace velq {

// Restricts which nodes a search may return. Node i passes when the slot
// index_ids[i] is in `allowed`; a null `allowed` admits nothing. Both are
// borrowed: they must outlive the search.
struct SearchFilter {
  const SlotBitmap* allowed = nullptr;
  std::span<const std::uint32_t> index_ids;  // slot of each node, by node
};

// Optional hint: called for each node that is about to be scored, before the
// scorer sees any node of the same list, so that the caller can start
// loading the nodes' data while earlier ones are scored.
using NodePrefetch = std::function<void(std::uint32_t node)>;

// Scores of several nodes at once: scores[i] for nodes[i], each what the
// per-node scorer would give. The walk hands over the unvisited neighbours of
// the node it expands, so that the scorer can ask for all their data before
// it scores the first. Called on the searching thread only.
using NodeBatchScorer =
    std::function<void(std::span<const std::uint32_t> nodes, std::span<double> scores)>;

// Beam width of every level above 0, whatever ef and k are.
inline constexpr std::size_t kUpperLevelBeam = 32;

// At most k nodes, best score first. Nodes rejected by `filter` are still
// scored and expanded, so a filter never cuts the walk apart; it only keeps
// them out of the results. Lists that cannot be decoded count as empty. A
// header whose entry point lies outside the graph gives no result. Among
// equal scores the lower node number ranks first, in the queues as in the
// result, so the outcome is a function of the graph and the scores alone.
// The scorer and the hint run on the calling thread.
std::vector<ScoredNode> search_graph(const GraphAdjacency& graph, std::size_t k, std::size_t ef,
                                     const NodeBatchScorer& scorer, const SearchFilter* filter,
                                     const NodePrefetch& prefetch = nullptr);

// The same walk scoring one node per call.
std::vector<ScoredNode> search_graph(const GraphAdjacency& graph, std::size_t k, std::size_t ef,
                                     const NodeScorer& scorer, const SearchFilter* filter,
                                     const NodePrefetch& prefetch = nullptr);

}  // namespace velq
