#include "engine/state_files.h"

#include "engine/db_files.h"
#include "storage/io/file_io.h"

namespace velq {

Result<std::optional<std::vector<std::uint8_t>>> fetch_state_file(
    const StorageBackend& backend, const std::string& local_dir, std::string_view name,
    CacheLocally cache) {
  const std::string local = db_files::local_path(local_dir, name);
  VELQ_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint8_t>> bytes,
                        read_file_if_present(*backend.fs, local));
  if (bytes.has_value()) return bytes;
  Result<std::vector<std::uint8_t>> remote = backend.provider->read(std::string(name));
  if (!remote.ok()) {
    if (remote.error().is_not_found()) return std::optional<std::vector<std::uint8_t>>();
    return std::move(remote).error();
  }
  if (cache == CacheLocally::kYes) {
    VELQ_RETURN_IF_ERROR(write_file_atomic(*backend.fs, local, *remote));
  }
  return std::optional(std::move(remote).value());
}

}  // namespace velq
