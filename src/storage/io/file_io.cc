#include "storage/io/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace velq {

Error os_error(int errnum) { return Error(std::strerror(errnum)); }

FdGuard::~FdGuard() {
  if (fd_ >= 0) ::close(fd_);
}

Status FdGuard::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return os_error(errno);
  return ok_status();
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
  FdGuard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  std::vector<std::uint8_t> out;
  // The size is a hint only: the file may change while it is read.
  out.reserve(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

Status write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return ok_status();
}

Status write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes) {
  return write_file_atomic(path, bytes, path + ".tmp");
}

Status write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes,
                         const std::string& tmp) {
  FdGuard fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return os_error(errno);
  Status written = write_all(fd.get(), bytes);
  if (written.ok()) written = fd.close();
  if (written.ok() && ::rename(tmp.c_str(), path.c_str()) != 0) written = os_error(errno);
  if (!written.ok()) ::unlink(tmp.c_str());
  return written;
}

Status create_directories(const std::string& path) {
  if (path.empty()) return ok_status();
  // The system calls would stop at a NUL byte and create a shorter path.
  if (path.find('\0') != std::string::npos) return os_error(EINVAL);
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return Error(ec.message());
  return ok_status();
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace velq
