#include "engine/persist.h"

#include <span>
#include <string>

#include "engine/db_files.h"
#include "engine/manifest.h"

namespace velq {

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Status publish(const EngineState& state, std::string_view name, std::span<const std::uint8_t> bytes) {
  return publish_state_file(*state.backend, state.local_dir, name, bytes);
}

}  // namespace

Status publish_state_file(const StorageBackend& backend, const std::string& local_dir,
                          std::string_view name, std::span<const std::uint8_t> bytes) {
  return backend.publish(std::string(name), db_files::local_path(local_dir, name), bytes);
}

Status publish_manifest(const StorageBackend& backend, const std::string& local_dir,
                        const Manifest& manifest, const std::optional<IndexState>& index_state) {
  Manifest snapshot = manifest;
  snapshot.quantizer.reset();
  snapshot.index_state = index_state;
  return publish_state_file(backend, local_dir, db_files::kManifest, bytes_of(snapshot.to_json()));
}

Status maybe_persist_state(EngineState& state, bool force) {
  if (!force && !state.index.lists_changed() && state.ops_since_persist < kOpsPerPersist) {
    return ok_status();
  }
  VELQ_RETURN_IF_ERROR(state.index.write_lists(
      [&](std::string_view name, std::span<const std::uint8_t> bytes) { return publish(state, name, bytes); }));
  VELQ_RETURN_IF_ERROR(
      publish_manifest(*state.backend, state.local_dir, state.manifest, state.index.params()));
  state.ops_since_persist = 0;
  return ok_status();
}

Status persist_id_pool(EngineState& state) {
  return publish(state, db_files::kLiveIds, state.id_pool.serialize());
}

}  // namespace velq
