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

#include "engine/db_files.h"
#include "engine/engine_index.h"
#include "engine/engine_types.h"
#include "engine/manifest.h"
#include "engine/slot_layout.h"
#include "search/reconstruction_norms.h"
#include "quantizer/blocked_codes.h"
#include "quantizer/prod_quantizer.h"
#include "storage/io/backend.h"
#include "storage/io/file_system.h"
#include "storage/log/segment.h"
#include "storage/log/wal.h"
#include "storage/metadata/metadata_store.h"
#include "storage/slots/id_pool.h"
#include "storage/slots/live_codes.h"

namespace velq {

struct EngineState {
  // The directory's lock: first, so it goes last, after every file below is
  // closed and unmapped.
  std::unique_ptr<FileLock> directory_lock;
  std::shared_ptr<const ProdQuantizer> quantizer;  // immutable after open
  Manifest manifest;
  std::shared_ptr<const StorageBackend> backend;
  std::shared_ptr<FileSystem> fs;  // the backend's file layer, for local files
  Wal wal;
  // Logged since the last flush, as the segment records the flush writes:
  // the log holds the rest of each entry, so memory stays small however
  // long the flush waits.
  std::vector<SegmentRecord> pending;
  SegmentManager segments;
  MetadataStore metadata;
  EngineIndex index;
  std::string local_dir;
  LiveCodesFile live_codes;
  std::optional<LiveCodesFile> live_vectors;  // raw vectors, when kept
  // live_codes in the first pass's blocked form, when the quantizer has one;
  // mirrors every slot below the id pool's slot count (blocked_mirror.h).
  std::optional<BlockedCodes> blocked_codes;
  // For L2 databases, and Cosine ones reranking from codes: the
  // reconstruction norms of the same slots (blocked_mirror.h).
  std::optional<ReconstructionNorms> reconstruction_norms;
  IdPool id_pool;
  SlotLayout layout;
  std::size_t wal_flush_threshold = 0;
  std::uint64_t ops_since_persist = 0;
  // The call's option or the stored flag: not the manifest's copy.
  bool normalize = false;
  bool needs_compaction = false;
  // Set when a log batch's outcome is unknown (written, sync failed; or
  // partly written and not cut off): it may come back at the next open, so
  // every later write is refused with this text until the database is
  // reopened.
  std::optional<std::string> write_refusal;

  // Facts the manifest stores, read from it alone.
  std::size_t d() const { return manifest.d; }
  DistanceMetric metric() const { return manifest.metric; }
  bool rerank_enabled() const { return manifest.rerank_enabled; }

  std::string local_path(std::string_view name) const { return db_files::local_path(local_dir, name); }
};

}  // namespace velq
