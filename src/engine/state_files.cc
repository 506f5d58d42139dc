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
  VELQ_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint8_t>> remote,
                        absent_if_not_found(backend.provider->read(std::string(name))));
  if (remote.has_value() && cache == CacheLocally::kYes) {
    VELQ_RETURN_IF_ERROR(write_file_atomic(*backend.fs, local, *remote));
  }
  return remote;
}

}  // namespace velq
