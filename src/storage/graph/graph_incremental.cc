// Growing a graph by new nodes without rebuilding the old ones.
#include <algorithm>
#include <string>

#include "common/panic.h"
#include "storage/graph/graph_build.h"

namespace velq {

namespace {

// Links every old node listed by a new node at this level back to it, in
// ascending order of new node, then old node. A list that overflows its
// degree is re-scored whole and cut to the best `degree`, which may drop the
// new node again. New nodes get no back-links from other new nodes.
void add_back_links(std::vector<NodeList>& lists, std::span<const std::uint32_t> fresh,
                    std::size_t old_n, std::size_t degree, const BuildScorer& scorer) {
  for (const std::uint32_t u : fresh) {
    for (const std::uint32_t v : lists[u]) {
      if (v >= old_n) continue;
      NodeList& list = lists[v];
      if (std::find(list.begin(), list.end(), u) != list.end()) continue;
      list.insert(std::upper_bound(list.begin(), list.end(), u), u);
      if (list.size() > degree) list = best_neighbors(v, list, degree, scorer);
    }
  }
}

}  // namespace

void extend_graph(GraphData& graph, std::size_t n_total, const BuildParams& params,
                  const BuildScorer& scorer) {
  const std::size_t old_n = graph.size();
  if (n_total <= old_n) return;
  if (n_total > UINT32_MAX) panic("graph of " + std::to_string(n_total) + " nodes exceeds u32 ids");
  const GraphDegrees degrees(params.max_degree);
  graph.resize(n_total);
  draw_levels(graph, old_n, degrees);
  for (std::uint32_t level = 0; level <= graph.max_level; ++level) {
    const std::vector<std::uint32_t> all = nodes_at_level(graph.levels, 0, n_total, level);
    const std::vector<std::uint32_t> fresh = nodes_at_level(graph.levels, old_n, n_total, level);
    if (all.size() < 2 || fresh.empty()) continue;
    const std::size_t degree = degrees.at(level);
    build_level_lists(graph.lists[level], all, fresh, degree, params, scorer);
    add_back_links(graph.lists[level], fresh, old_n, degree, scorer);
  }
}

}  // namespace velq
