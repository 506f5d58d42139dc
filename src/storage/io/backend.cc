#include "storage/io/backend.h"

#include <string_view>

#include "storage/io/file_io.h"
#include "common/result.h"
#include "storage/io/file_uri.h"

namespace velq {

namespace {

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::string_view(s).substr(0, prefix.size()) == prefix;
}

}  // namespace

Result<std::shared_ptr<const StorageBackend>> StorageBackend::from_uri(const std::string& uri) {
  if (starts_with(uri, "gs://") || starts_with(uri, "az://")) {
    return Error(
        "gs:// and az:// cloud storage are not yet supported. Use s3:// (requires the `cloud` "
        "feature) or a local path.");
  }
  if (starts_with(uri, "s3://")) {
    return Error(
        "s3:// storage requires the optional `cloud` feature; rebuild velq with that feature "
        "enabled or use a local path.");
  }
  std::string root = uri;
  if (starts_with(uri, "file://")) {
    VELQ_ASSIGN_OR_RETURN(root, file_uri_to_path(uri));
  }
  VELQ_RETURN_IF_ERROR(create_directories(root));
  return std::make_shared<const StorageBackend>(uri, std::make_unique<LocalProvider>(root));
}

bool StorageBackend::is_local_file(const std::string& key, const std::string& local_path) const {
  const std::optional<std::string> path = provider->file_path(key);
  return path.has_value() && same_file(*path, local_path);
}

Status StorageBackend::mirror_write(const std::string& key, const std::string& local_path,
                                    std::span<const std::uint8_t> bytes) const {
  if (is_local_file(key, local_path)) return ok_status();
  return provider->write(key, bytes);
}

}  // namespace velq
