// Whole-file reads and crash-safe whole-file replacement on the local file
// system, plus the operating-system error wrapper that every file operation
// in the storage layer returns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace velq {

// The error text of an errno value, as the operating system words it.
Error os_error(int errnum);

// Owns an open descriptor and closes it on scope exit.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard();
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the close error (a deferred write error on some
  // file systems).
  Status close();

 private:
  int fd_;
};

// All bytes of the file at `path`; a missing file is an error.
Result<std::vector<std::uint8_t>> read_file(const std::string& path);

// Replaces the file at `path` by `bytes`: writes "<path>.tmp" (created or
// truncated) and renames it over `path`, so a crash leaves either the old
// or the new content, never a short file. Nothing is synced.
Status write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes);
// The same with the temporary file named by the caller.
Status write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes,
                         const std::string& tmp_path);

// Writes all of `bytes` to an open descriptor, resuming after short writes.
Status write_all(int fd, std::span<const std::uint8_t> bytes);

// Creates `path` and its missing ancestors (0777 before the umask); an
// existing directory is no error; a path holding a NUL byte is refused.
Status create_directories(const std::string& path);

// True when both paths exist and name the same file (same device and inode).
bool same_file(const std::string& a, const std::string& b);

}  // namespace velq
