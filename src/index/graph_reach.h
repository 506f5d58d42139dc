// Level-0 connectivity figures of a graph: how much of it a search can reach
// from the entry point, and how many nodes no list names (such a node can
// never be returned, whatever the beam width).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "storage/graph/graph_data.h"

namespace velq {

struct Level0Reach {
  std::size_t reachable = 0;         // nodes reachable from the entry point, itself included
  std::size_t without_incoming = 0;  // nodes that no level-0 list names
};

// `list_at_0(node)` gives node's level-0 list; ids at or above n_nodes are
// ignored. An entry point outside the graph reaches nothing.
Level0Reach level0_reach(std::uint32_t n_nodes, std::uint32_t entry_point,
                         const std::function<NodeList(std::uint32_t node)>& list_at_0);

}  // namespace velq
