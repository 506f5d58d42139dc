#include "index/graph_reach.h"

#include <vector>

namespace velq {

Level0Reach level0_reach(std::uint32_t n_nodes, std::uint32_t entry_point,
                         const std::function<NodeList(std::uint32_t node)>& list_at_0) {
  std::vector<std::uint8_t> named(n_nodes, 0);
  std::vector<std::uint8_t> reached(n_nodes, 0);
  std::vector<NodeList> lists(n_nodes);
  for (std::uint32_t node = 0; node < n_nodes; ++node) {
    lists[node] = list_at_0(node);
    for (const std::uint32_t v : lists[node]) {
      if (v < n_nodes) named[v] = 1;
    }
  }
  Level0Reach out;
  for (const std::uint8_t n : named) out.without_incoming += n == 0;
  if (entry_point >= n_nodes) return out;
  std::vector<std::uint32_t> frontier{entry_point};
  reached[entry_point] = 1;
  while (!frontier.empty()) {
    const std::uint32_t u = frontier.back();
    frontier.pop_back();
    ++out.reachable;
    for (const std::uint32_t v : lists[u]) {
      if (v < n_nodes && reached[v] == 0) {
        reached[v] = 1;
        frontier.push_back(v);
      }
    }
  }
  return out;
}

}  // namespace velq
