// The bookkeeping files: graph_ids.json, delta_ids.json, manifest.json and
// live_ids.bin, each written locally and through the provider (publish).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.h"
#include "engine/engine_state.h"

namespace velq {

// Operations between two persists of manifest.json when nothing forces one.
inline constexpr std::uint64_t kOpsPerPersist = 64;

// Writes the dirty id lists and manifest.json when `force` is set, an id list
// is dirty, or kOpsPerPersist operations have been counted since the last
// persist. A dirty flag is cleared only once its file is written both ways.
Status maybe_persist_state(EngineState& state, bool force);

// live_ids.bin, locally and through the provider.
Status persist_id_pool(EngineState& state);

// Writes the file `name` whole in `local_dir` and through the provider.
Status publish_state_file(const StorageBackend& backend, const std::string& local_dir,
                          std::string_view name, std::span<const std::uint8_t> bytes);

// manifest.json from `manifest` with the index's `index_state`, without any
// quantizer entry (the quantizer lives in quantizer.bin only), locally and
// through the provider.
Status publish_manifest(const StorageBackend& backend, const std::string& local_dir,
                        const Manifest& manifest, const std::optional<IndexState>& index_state);

}  // namespace velq
