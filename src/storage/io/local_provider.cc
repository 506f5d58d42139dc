// LocalProvider: objects are files under a root directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

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
  return read_file(path_of(key));
}

Status LocalProvider::write(const std::string& key, std::span<const std::uint8_t> bytes) const {
  const fs::path path = path_of(key);
  if (path.has_parent_path()) VELQ_RETURN_IF_ERROR(velq::create_directories(path.parent_path().string()));
  return write_file_atomic(path.string(), bytes);
}

Result<std::vector<std::string>> LocalProvider::list(const std::string& prefix) const {
  const fs::path full = without_trailing_slashes(path_of(prefix));
  std::error_code ec;
  fs::path dir;
  std::string filter;
  if (fs::is_directory(full, ec)) {
    dir = full;
  } else {
    dir = full.has_parent_path() ? full.parent_path() : fs::path(root_);
    const std::string last = full.filename().string();
    filter = is_valid_utf8(last) ? last : prefix;
  }
  const fs::path readable_dir = dir.empty() ? fs::path(".") : dir;
  struct stat st {};
  if (::stat(readable_dir.c_str(), &st) != 0) return std::vector<std::string>{};

  std::string key_prefix;
  if (const auto rel = strip_root(dir, root_); rel && !rel->empty() && is_valid_utf8(*rel)) {
    key_prefix = *rel + "/";
  }

  fs::directory_iterator it(readable_dir, ec);
  if (ec) return Error(ec.message());
  std::vector<std::string> keys;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return Error(ec.message());
    const std::string name = lossy_utf8(it->path().filename().string());
    if (!filter.empty() && name.compare(0, filter.size(), filter) != 0) continue;
    keys.push_back(key_prefix + name);
  }
  if (ec) return Error(ec.message());
  return keys;
}

Status LocalProvider::remove(const std::string& key) const {
  const std::string path = path_of(key);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ok_status();
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (::unlink(path.c_str()) != 0) return os_error(errno);
  return ok_status();
}

bool LocalProvider::exists(const std::string& key) const {
  struct stat st {};
  return ::stat(path_of(key).c_str(), &st) == 0;
}

Result<std::uint64_t> LocalProvider::size(const std::string& key) const {
  struct stat st {};
  if (::stat(path_of(key).c_str(), &st) != 0) return os_error(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status LocalProvider::rename(const std::string& from, const std::string& to) const {
  if (::rename(path_of(from).c_str(), path_of(to).c_str()) != 0) return os_error(errno);
  return ok_status();
}

}  // namespace velq
