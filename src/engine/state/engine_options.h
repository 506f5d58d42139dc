// What opening a database takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/state/engine_types.h"
#include "storage/io/file_system.h"

namespace velq {

struct EngineOptions {
  std::string storage_uri;  // where provider copies live ("file://..." or a path)
  std::string local_dir;    // where every local file lives
  std::size_t d = 0;        // dimension; must match an existing database
  std::size_t b = 4;        // total bits per coordinate; must match
  std::uint64_t seed = 42;  // a new database's quantizer seed
  DistanceMetric metric = DistanceMetric::kIp;  // must match
  bool rerank = true;                           // a new database's rerank flag
  bool fast_mode = false;                       // a new database's quantizer mode
  RerankPrecision rerank_precision = RerankPrecision::kDisabled;  // a new database's
  std::optional<std::size_t> wal_flush_threshold;  // 5000 when absent; 0 is kept
  bool normalize = false;                          // OR-ed with the stored flag
  std::optional<std::string> quantizer_type;       // a new database's; "dense" when absent
  // The file layer every file goes through; tests put a fault injector here.
  std::shared_ptr<FileSystem> fs = local_file_system();
};

inline constexpr std::size_t kDefaultWalFlushThreshold = 5000;

}  // namespace velq
