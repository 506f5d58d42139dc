#include "index/graph_manager.h"

#include <algorithm>

#include "storage/io/file_io.h"
#include "storage/io/file_system.h"
#include "index/graph_build.h"
#include "storage/graph/graph_encode.h"
#include "storage/graph/graph_format.h"

namespace velq {

namespace {

const std::string kKey(graph_format::kFileName);

}  // namespace

Result<GraphManager> GraphManager::open(std::shared_ptr<const StorageBackend> backend,
                                        const std::string& local_dir) {
  GraphManager manager(backend, local_dir + "/" + kKey);
  // Only a graph that does not exist means "no index"; one that cannot be
  // read is an error, or the next build would silently replace it.
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        absent_if_not_found(backend->provider->read(kKey)));
  if (!bytes.has_value()) return manager;
  VELQ_RETURN_IF_ERROR(backend->fs->create_directories(local_dir));
  VELQ_ASSIGN_OR_RETURN(const bool same, backend->is_local_file(kKey, manager.path_));
  if (!same) VELQ_RETURN_IF_ERROR(write_file_atomic(*backend->fs, manager.path_, *bytes));
  VELQ_RETURN_IF_ERROR(manager.map_local_file());
  return manager;
}

Status GraphManager::map_local_file() {
  VELQ_ASSIGN_OR_RETURN(Mapping map, map_file_read_only(*backend_->fs, path_));
  mmap_ = std::move(map);
  parse_layout();
  return ok_status();
}

void GraphManager::parse_layout() {
  if (!mmap_.has_value()) {
    layout_ = GraphLayout();
    adjacency_ = GraphAdjacency();
    return;
  }
  layout_.parse(mmap_->bytes());
  adjacency_ = GraphAdjacency(GraphView(mmap_->bytes(), layout_));
}

void GraphManager::unload() {
  mmap_.reset();
  parse_layout();
}

std::optional<std::string> GraphManager::file_fault() const {
  if (!mmap_.has_value() || layout_.fault.empty()) return std::nullopt;
  return layout_.fault;
}

Result<std::vector<std::uint32_t>> GraphManager::get_neighbors_at_level(std::uint32_t node,
                                                                        std::uint32_t level) const {
  if (!mmap_.has_value()) return Error::not_found("Graph not loaded");
  std::vector<std::uint32_t> list;
  VELQ_RETURN_IF_ERROR(GraphView(mmap_->bytes(), layout_).neighbors(node, level, list));
  return list;
}

std::vector<ScoredNode> GraphManager::search(std::size_t k, std::size_t ef,
                                             const NodeBatchScorer& scorer,
                                             std::optional<SearchFilter> filter) const {
  if (!mmap_.has_value()) return {};
  return search_graph(adjacency_, k, ef, scorer, filter.has_value() ? &*filter : nullptr);
}

std::vector<ScoredNode> GraphManager::search(std::size_t k, std::size_t ef,
                                             const NodeScorer& scorer,
                                             std::optional<SearchFilter> filter) const {
  if (!mmap_.has_value()) return {};
  return search_graph(adjacency_, k, ef, scorer, filter.has_value() ? &*filter : nullptr);
}

namespace {

// Below 1 (or NaN) the diversity rule would drop candidates the plain rule
// keeps and could cut a node's lists down to its single best neighbour, so
// such an alpha builds with the plain rule.
BuildParams build_params(std::size_t max_degree, std::size_t ef_construction,
                         std::size_t n_refinements, double alpha) {
  return {max_degree, ef_construction, n_refinements, alpha >= 1.0 ? alpha : 1.0};
}

}  // namespace

Status GraphManager::build(std::size_t n_nodes, std::size_t max_degree,
                           std::size_t ef_construction, std::size_t n_refinements,
                           BuildScorer scorer, double alpha) {
  const GraphData graph =
      build_graph(n_nodes, build_params(max_degree, ef_construction, n_refinements, alpha), scorer);
  return write_out(graph);
}

Status GraphManager::build_incremental(std::size_t n_total, std::size_t max_degree,
                                       std::size_t ef_construction,
                                       std::size_t n_refinements, BuildScorer scorer,
                                       double alpha) {
  if (n_total <= layout_.n_nodes) return ok_status();
  if (layout_.n_nodes == 0) {
    return build(n_total, max_degree, ef_construction, n_refinements, std::move(scorer), alpha);
  }
  GraphData graph = reload();
  extend_graph(graph, n_total, build_params(max_degree, ef_construction, n_refinements, alpha),
               scorer);
  return write_out(graph);
}

GraphData GraphManager::reload() const {
  const std::uint32_t n = layout_.n_nodes;
  GraphData graph;
  graph.resize(n);
  if (mmap_.has_value()) {
    const GraphView view(mmap_->bytes(), layout_);
    std::vector<std::uint32_t> list;
    for (std::uint32_t node = 0; node < n; ++node) {
      graph.levels[node] = view.stored_level(node);
      for (std::uint32_t level = 0; level <= graph.levels[node]; ++level) {
        if (!view.neighbors(node, level, list).ok()) continue;  // lost edges stay lost
        // Only a damaged file holds ids outside the graph, the node itself,
        // repeats or a descending run; drop what the builder cannot use.
        std::erase_if(list, [&](std::uint32_t v) { return v >= n || v == node; });
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        graph.lists[level][node] = list;
      }
    }
  }
  // A header naming an entry point outside the graph or a level that no
  // record can hold is replaced by what the records say.
  const bool header_valid =
      layout_.entry_point < n && layout_.max_level <= graph_format::kTopLevel &&
      graph.levels[layout_.entry_point] == layout_.max_level;
  if (header_valid) {
    graph.entry_point = layout_.entry_point;
    graph.max_level = layout_.max_level;
  } else {
    for (std::uint32_t node = 0; node < n; ++node) {
      if (graph.levels[node] >= graph.max_level) graph.entry_point = node;
      graph.max_level = std::max(graph.max_level, graph.levels[node]);
    }
  }
  return graph;
}

Status GraphManager::write_out(const GraphData& graph) {
  // The old map stays in use until the new file is written and mapped: a
  // failed rebuild leaves searches on the old graph, never on none. The old
  // mapping keeps the replaced file's pages alive.
  const std::vector<std::uint8_t> bytes = encode_graph(graph);
  VELQ_RETURN_IF_ERROR(backend_->publish(kKey, path_, bytes));
  return map_local_file();
}

}  // namespace velq
