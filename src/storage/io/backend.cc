#include "storage/io/backend.h"

#include <string_view>

#include "storage/io/file_io.h"
#include "storage/io/file_system.h"
#include "common/result.h"
#include "storage/io/file_uri.h"

namespace velq {

Result<std::string> StorageBackend::root_of(const std::string& uri) {
  if (uri.starts_with("gs://") || uri.starts_with("az://")) {
    return Error(
        "gs:// and az:// cloud storage are not yet supported. Use s3:// (requires the `cloud` "
        "feature) or a local path.",
        ErrorKind::kNotSupported);
  }
  if (uri.starts_with("s3://")) {
    return Error(
        "s3:// storage requires the optional `cloud` feature; rebuild velq with that feature "
        "enabled or use a local path.",
        ErrorKind::kNotSupported);
  }
  if (uri.starts_with("file://")) return file_uri_to_path(uri);
  return uri;
}

Result<std::shared_ptr<const StorageBackend>> StorageBackend::from_uri(
    const std::string& uri, std::shared_ptr<FileSystem> fs) {
  VELQ_ASSIGN_OR_RETURN(const std::string root, root_of(uri));
  VELQ_RETURN_IF_ERROR(fs->create_directories(root));
  auto provider = std::make_unique<LocalProvider>(root, fs);
  return std::make_shared<const StorageBackend>(uri, std::move(provider), std::move(fs));
}

Result<bool> StorageBackend::is_local_file(const std::string& key,
                                           const std::string& local_path) const {
  const std::optional<std::string> path = provider->file_path(key);
  if (!path.has_value()) return false;
  return same_file(*fs, *path, local_path);
}

Status StorageBackend::publish(const std::string& key, const std::string& local_path,
                               std::span<const std::uint8_t> bytes) const {
  VELQ_RETURN_IF_ERROR(write_file_atomic(*fs, local_path, bytes));
  VELQ_ASSIGN_OR_RETURN(const bool same, is_local_file(key, local_path));
  if (same) return ok_status();
  return provider->write(key, bytes);
}

Status StorageBackend::push_file(const std::string& key, const std::string& local_path) const {
  VELQ_ASSIGN_OR_RETURN(const bool same, is_local_file(key, local_path));
  if (same) return ok_status();
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_file(*fs, local_path));
  return provider->write(key, bytes);
}

}  // namespace velq
