// The graph as the builders hold it in memory before encoding it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "storage/graph/graph_format.h"

namespace velq {

// Node ids are u32; a list is strictly ascending and never holds its own node.
using NodeList = std::vector<std::uint32_t>;

struct GraphData {
  // levels[i]: the top level of node i, 0 to graph_format::kTopLevel.
  std::vector<std::uint32_t> levels;
  // lists[level][node]: node's list at that level; empty above its level.
  std::array<std::vector<NodeList>, graph_format::kLevelCount> lists;
  std::uint32_t entry_point = 0;
  std::uint32_t max_level = 0;

  std::size_t size() const { return levels.size(); }

  // Sizes every level's lists for `n` nodes, keeping lists already present.
  void resize(std::size_t n) {
    levels.resize(n, 0);
    for (auto& level : lists) level.resize(n);
  }
};

}  // namespace velq
