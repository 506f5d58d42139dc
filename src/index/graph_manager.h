// The persisted proximity graph of one database: graph.bin in the local
// directory, memory-mapped, mirrored through the storage provider, and its
// lists decoded once into memory for the searches (graph_adjacency.h). The
// manager never sees vectors; builders and searches receive scoring
// callbacks.
//
// Thread safety: searches and list reads only read the map and may run
// concurrently; open, parse_layout and the builders need exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/backend.h"
#include "storage/io/file_system.h"
#include "storage/graph/graph_adjacency.h"
#include "storage/graph/graph_data.h"
#include "storage/graph/graph_reader.h"
#include "index/graph_search.h"
#include "index/scored_node.h"

namespace velq {

class GraphManager {
 public:
  // Copies the provider's graph.bin into local_dir and maps it. When the
  // provider has no graph.bin the manager is simply not loaded; one that
  // cannot be read, a local directory, copy or map that cannot be made, are
  // errors.
  static Result<GraphManager> open(std::shared_ptr<const StorageBackend> backend,
                                   const std::string& local_dir);

  // Builds the graph over nodes 0 .. n_nodes-1 from scratch, writes it
  // locally and through the provider, and maps it. `alpha` relaxes the
  // diversity rule that chooses each list (see covers() in
  // neighbor_selection.h); values below 1 build with the plain rule. On
  // failure the manager keeps the graph it had.
  Status build(std::size_t n_nodes, std::size_t max_degree, std::size_t ef_construction,
               std::size_t n_refinements, BuildScorer scorer, double alpha);

  // Adds nodes n_nodes() .. n_total-1 to the current graph (a full build
  // when it is empty) and rewrites the file. n_total <= n_nodes() does
  // nothing. Old lists that cannot be decoded are rebuilt as empty.
  Status build_incremental(std::size_t n_total, std::size_t max_degree,
                           std::size_t ef_construction, std::size_t n_refinements,
                           BuildScorer scorer, double alpha);

  // At most k nodes, best first; never fails (see search_graph). Empty
  // while no file is mapped.
  std::vector<ScoredNode> search(std::size_t k, std::size_t ef, const NodeBatchScorer& scorer,
                                 std::optional<SearchFilter> filter) const;
  std::vector<ScoredNode> search(std::size_t k, std::size_t ef, const NodeScorer& scorer,
                                 std::optional<SearchFilter> filter) const;

  // Node's ascending list at `level`: "Graph not loaded" without a map, else
  // as GraphView::neighbors.
  Result<std::vector<std::uint32_t>> get_neighbors_at_level(std::uint32_t node,
                                                            std::uint32_t level) const;

  // Reloads the header fields and offsets table from the current map, and
  // decodes its lists for the searches.
  void parse_layout();

  // Why the mapped file is not the whole graph its header describes (see
  // GraphLayout::fault); nullopt when it is, or when nothing is mapped.
  std::optional<std::string> file_fault() const;
  // Drops the map: the graph is not loaded until the next build writes one.
  // The file stays on disk.
  void unload();

  bool is_mapped() const { return mmap_.has_value(); }
  // Mapped and holding at least one node: usable for searches.
  bool is_loaded() const { return is_mapped() && layout_.n_nodes > 0; }
  std::size_t n_nodes() const { return layout_.n_nodes; }
  std::uint32_t entry_point() const { return layout_.entry_point; }
  std::uint32_t max_level() const { return layout_.max_level; }
  const std::string& path() const { return path_; }
  // Bytes of the decoded lists the searches walk.
  std::size_t adjacency_bytes() const { return adjacency_.memory_bytes(); }

 private:
  GraphManager(std::shared_ptr<const StorageBackend> backend, std::string path)
      : path_(std::move(path)), backend_(std::move(backend)) {}

  Status map_local_file();
  // The current graph as lists, for growing it.
  GraphData reload() const;
  // Encodes, writes locally and through the provider, then maps the new
  // file in place of the old one; on failure the old map stays.
  Status write_out(const GraphData& graph);

  std::optional<Mapping> mmap_;
  std::string path_;
  GraphLayout layout_;
  GraphAdjacency adjacency_;
  std::shared_ptr<const StorageBackend> backend_;
};

}  // namespace velq
