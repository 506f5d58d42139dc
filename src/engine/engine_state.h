// Everything one open database owns. The engine's units take this state (or
// the parts they need), never the front class; the front class only
// delegates. No lock of its own: callers hold the database's reader-writer
// lock, exclusively for anything that changes the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/db_files.h"
#include "engine/engine_types.h"
#include "engine/manifest.h"
#include "engine/slot_store.h"
#include "engine/write_log.h"
#include "quantizer/prod_quantizer.h"
#include "index/graph_manager.h"
#include "storage/io/backend.h"
#include "storage/io/file_system.h"
#include "storage/log/segment.h"
#include "storage/metadata/metadata_store.h"

namespace velq {

struct EngineState {
  // The directory's lock: first, so it goes last, after every file below is
  // closed and unmapped.
  std::unique_ptr<FileLock> directory_lock;
  std::shared_ptr<const ProdQuantizer> quantizer;  // immutable after open
  Manifest manifest;
  std::shared_ptr<const StorageBackend> backend;
  std::shared_ptr<FileSystem> fs;  // the backend's file layer, for local files
  WriteLog log;
  SegmentManager segments;
  MetadataStore metadata;
  GraphManager graph;
  std::string local_dir;
  std::vector<std::uint32_t> index_ids;  // graph node i stands for slot index_ids[i]
  std::vector<std::uint32_t> delta_ids;  // ascending: written since the last build
  SlotStore slots;
  std::size_t d = 0;
  std::size_t bits = 0;
  std::uint64_t ops_since_persist = 0;
  DistanceMetric metric = DistanceMetric::kIp;
  bool rerank_enabled = true;
  bool normalize = false;
  bool index_ids_dirty = false;
  bool delta_ids_dirty = false;
  bool needs_compaction = false;

  // The graph may answer searches (the index is usable).
  bool has_index() const {
    // The node count must match too: a graph with more nodes than index_ids
    // would return nodes that stand for no slot.
    return graph.is_loaded() && graph.n_nodes() > 0 && !index_ids.empty() &&
           manifest.index_state.has_value() &&
           manifest.index_state->indexed_nodes == index_ids.size() &&
           graph.n_nodes() == index_ids.size();
  }

  // Forgets the index: searches are exhaustive until the next build. The
  // graph file and the delta list stay.
  void drop_index() {
    index_ids.clear();
    manifest.index_state.reset();
    index_ids_dirty = true;
  }

  std::string local_path(std::string_view name) const { return db_files::local_path(local_dir, name); }
};

}  // namespace velq
