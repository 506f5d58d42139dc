// LocalProvider: objects are files under a root directory.
#include <cerrno>
#include <filesystem>

#include "storage/io/file_io.h"
#include "common/utf8.h"
#include "storage/io/backend.h"

namespace velq {

namespace fs = std::filesystem;

namespace {

// The parts of a path, ignoring repeated, trailing and "." separators the
// way path comparison by components does.
std::vector<std::string> components(const fs::path& p) {
  std::vector<std::string> out;
  for (const fs::path& part : p) {
    const std::string s = part.string();
    if (s.empty() || (s == "." && !out.empty())) continue;
    out.push_back(s);
  }
  return out;
}

// `dir` relative to `root` joined with "/", or nullopt when `dir` does not
// lie under `root`.
std::optional<std::string> strip_root(const fs::path& dir, const fs::path& root) {
  const std::vector<std::string> d = components(dir);
  const std::vector<std::string> r = components(root);
  if (r.size() > d.size()) return std::nullopt;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (d[i] != r[i]) return std::nullopt;
  }
  std::string rel;
  for (std::size_t i = r.size(); i < d.size(); ++i) {
    if (!rel.empty()) rel += '/';
    rel += d[i];
  }
  return rel;
}

// `s` without trailing separators, so that "sub/" names the entry "sub".
std::string without_trailing_slashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

std::string LocalProvider::path_of(const std::string& key) const {
  return (fs::path(root_) / key).string();
}

std::optional<std::string> LocalProvider::file_path(const std::string& key) const {
  return path_of(key);
}

Result<std::vector<std::uint8_t>> LocalProvider::read(const std::string& key) const {
  return read_file(*fs_, path_of(key));
}

Status LocalProvider::write(const std::string& key, std::span<const std::uint8_t> bytes) const {
  const fs::path path = path_of(key);
  if (path.has_parent_path()) VELQ_RETURN_IF_ERROR(fs_->create_directories(path.parent_path().string()));
  return write_file_atomic(*fs_, path.string(), bytes);
}

Result<std::vector<std::string>> LocalProvider::list(const std::string& prefix) const {
  const fs::path full = without_trailing_slashes(path_of(prefix));
  fs::path dir;
  std::string filter;
  const Result<FileInfo> full_info = fs_->stat(full.string());
  if (full_info.ok() && full_info->is_directory) {
    dir = full;
  } else {
    dir = full.has_parent_path() ? full.parent_path() : fs::path(root_);
    const std::string last = full.filename().string();
    filter = is_valid_utf8(last) ? last : prefix;
  }
  const fs::path readable_dir = dir.empty() ? fs::path(".") : dir;
  Result<std::vector<std::string>> names = fs_->list(readable_dir.string());
  if (!names.ok()) {
    // A prefix whose directory does not exist lists nothing.
    if (names.error().is_not_found()) return std::vector<std::string>{};
    return std::move(names).error();
  }

  std::string key_prefix;
  if (const auto rel = strip_root(dir, root_); rel && !rel->empty() && is_valid_utf8(*rel)) {
    key_prefix = *rel + "/";
  }
  std::vector<std::string> keys;
  for (const std::string& raw : *names) {
    const std::string name = lossy_utf8(raw);
    if (!filter.empty() && name.compare(0, filter.size(), filter) != 0) continue;
    keys.push_back(key_prefix + name);
  }
  return keys;
}

Status LocalProvider::remove(const std::string& key) const {
  const std::string path = path_of(key);
  const Result<FileInfo> info = fs_->stat(path);
  if (!info.ok()) {
    if (info.error().is_not_found()) return ok_status();
    return info.error();
  }
  if (info->is_directory) return os_error(EISDIR);
  return remove_if_present(*fs_, path);
}

Result<bool> LocalProvider::exists(const std::string& key) const {
  return path_exists(*fs_, path_of(key));
}

Result<std::uint64_t> LocalProvider::size(const std::string& key) const {
  VELQ_ASSIGN_OR_RETURN(const FileInfo info, fs_->stat(path_of(key)));
  return info.size;
}

Status LocalProvider::rename(const std::string& from, const std::string& to) const {
  return fs_->rename(path_of(from), path_of(to));
}

}  // namespace velq
