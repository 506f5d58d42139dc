// Every file of a database directory, by name, and where each one lives.
// Files marked "mirrored" are written to the local directory and also handed
// to the storage provider under the same key; at open they are read locally
// first, else from the provider (and cached locally). Local-only files are
// never seen by the provider.
#pragma once

#include <string>
#include <string_view>

#include "storage/graph/graph_format.h"
#include "storage/log/compaction.h"

namespace velq::db_files {

inline constexpr std::string_view kManifest = "manifest.json";        // mirrored
inline constexpr std::string_view kQuantizer = "quantizer.bin";       // mirrored
inline constexpr std::string_view kWal = "wal.log";                   // local only
inline constexpr std::string_view kLiveCodes = "live_codes.bin";      // local, pushed at flush
inline constexpr std::string_view kLiveVectors = "live_vectors.bin";  // local, pushed at flush
inline constexpr std::string_view kLiveIds = "live_ids.bin";          // mirrored
inline constexpr std::string_view kMetadata = "metadata.bin";         // local only
inline constexpr std::string_view kGraph = graph_format::kFileName;   // mirrored
inline constexpr std::string_view kGraphIds = "graph_ids.json";       // mirrored
inline constexpr std::string_view kDeltaIds = "delta_ids.json";       // mirrored
// Empty; an open engine holds its exclusive lock, so no second engine, in
// this process or another, opens the directory meanwhile.          local only
inline constexpr std::string_view kLock = "LOCK";
// Present only while a live-file compaction switches its staged files
// ("<name>.compact") over the live ones; open finishes the switch
// (docs/formats/live_compaction.md).                               local only
inline constexpr std::string_view kCompactionSwitch = "live_compaction.switch";
inline constexpr std::string_view kCompactionStagedSuffix = ".compact";
// Segments ("seg-NNNNNNNN.bin") and the compaction state live only with the
// provider.
inline constexpr std::string_view kCompactionState = kCompactionStateKey;

// `name` inside the database's local directory.
inline std::string local_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace velq::db_files
