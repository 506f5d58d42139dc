// Everything one open database owns, inside the engine: the front
// (velqor_engine.h) holds it out of sight and hands it to the units that do
// the work. No lock of its own: callers hold the database's reader-writer
// lock, exclusively for anything that changes the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/state/db_files.h"
#include "engine/state/engine_index.h"
#include "engine/state/engine_types.h"
#include "engine/state/manifest.h"
#include "engine/state/slot_store.h"
#include "engine/state/write_log.h"
#include "quantizer/prod_quantizer.h"
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
  EngineIndex index;
  std::string local_dir;
  SlotStore slots;
  std::uint64_t ops_since_persist = 0;
  // The call's option or the stored flag: not the manifest's copy.
  bool normalize = false;
  bool needs_compaction = false;

  // Facts the manifest stores, read from it alone.
  std::size_t d() const { return manifest.d; }
  DistanceMetric metric() const { return manifest.metric; }
  bool rerank_enabled() const { return manifest.rerank_enabled; }

  std::string local_path(std::string_view name) const { return db_files::local_path(local_dir, name); }
};

}  // namespace velq
