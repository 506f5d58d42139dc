#include "storage/io/file_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velq {

Error os_error(int errnum) {
  return Error(std::strerror(errnum), errnum == ENOENT ? ErrorKind::kNotFound : ErrorKind::kIo);
}

Result<std::vector<std::uint8_t>> read_file(FileSystem& fs, const std::string& path) {
  VELQ_ASSIGN_OR_RETURN(const std::unique_ptr<File> file, fs.open(path, OpenMode::kRead));
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t size_hint, file->size());
  // Read straight into the result. The size is a hint only: the file may
  // grow while it is read, so a read that fills the buffer doubles it; a
  // short read is the end of the file. One spare byte lets a file of exactly
  // the hinted size end on a short read.
  std::vector<std::uint8_t> out(
      static_cast<std::size_t>(std::min<std::uint64_t>(size_hint, 1u << 30)) + 1);
  std::size_t filled = 0;
  for (;;) {
    const std::size_t wanted = out.size() - filled;
    VELQ_ASSIGN_OR_RETURN(const std::size_t n,
                          file->read_at(filled, std::span(out).subspan(filled)));
    filled += n;
    if (n < wanted) break;
    out.resize(2 * out.size());
  }
  out.resize(filled);
  return out;
}

Result<std::optional<std::vector<std::uint8_t>>> absent_if_not_found(
    Result<std::vector<std::uint8_t>> bytes) {
  if (bytes.ok()) return std::optional(std::move(bytes).value());
  if (bytes.error().is_not_found()) return std::optional<std::vector<std::uint8_t>>();
  return std::move(bytes).error();
}

Result<std::optional<std::vector<std::uint8_t>>> read_file_if_present(FileSystem& fs,
                                                                      const std::string& path) {
  return absent_if_not_found(read_file(fs, path));
}

Status remove_if_present(FileSystem& fs, const std::string& path) {
  Status removed = fs.remove(path);
  if (!removed.ok() && removed.error().is_not_found()) return ok_status();
  return removed;
}

Result<bool> path_exists(FileSystem& fs, const std::string& path) {
  const Result<FileInfo> info = fs.stat(path);
  if (info.ok()) return true;
  if (info.error().is_not_found()) return false;
  return info.error();
}

Status write_file_atomic(FileSystem& fs, const std::string& path,
                         std::span<const std::uint8_t> bytes) {
  return write_file_atomic(fs, path, bytes, path + ".tmp");
}

Status write_file_atomic(FileSystem& fs, const std::string& path,
                         std::span<const std::uint8_t> bytes, const std::string& tmp) {
  auto attempt = [&]() -> Status {
    VELQ_ASSIGN_OR_RETURN(const std::unique_ptr<File> file, fs.open(tmp, OpenMode::kTruncate));
    VELQ_RETURN_IF_ERROR(file->append(bytes));
    VELQ_RETURN_IF_ERROR(file->close());
    return fs.rename(tmp, path);
  };
  Status written = attempt();
  if (!written.ok()) static_cast<void>(fs.remove(tmp));
  return written;
}

Result<bool> same_file(FileSystem& fs, const std::string& a, const std::string& b) {
  const Result<FileInfo> ia = fs.stat(a);
  if (!ia.ok()) {
    if (ia.error().is_not_found()) return false;
    return ia.error();
  }
  const Result<FileInfo> ib = fs.stat(b);
  if (!ib.ok()) {
    if (ib.error().is_not_found()) return false;
    return ib.error();
  }
  return ia->device == ib->device && ia->inode == ib->inode;
}

Result<Mapping> map_file_read_only(FileSystem& fs, const std::string& path) {
  VELQ_ASSIGN_OR_RETURN(const std::unique_ptr<File> file, fs.open(path, OpenMode::kRead));
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t size, file->size());
  return file->map(size);
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

Status rewrite_in_place(int fd, std::uint64_t offset, std::uint64_t len) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(len, 1u << 16)));
  while (len > 0) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(len, buffer.size()));
    std::size_t got = 0;
    while (got < take) {
      const ssize_t n = ::pread(fd, buffer.data() + got, take - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return os_error(errno);
      if (n == 0) return os_error(EINVAL);  // the range passes the end of the file
      got += static_cast<std::size_t>(n);
    }
    for (std::size_t done = 0; done < take;) {
      const ssize_t n = ::pwrite(fd, buffer.data() + done, take - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return os_error(errno);
      done += static_cast<std::size_t>(n);
    }
    offset += take;
    len -= take;
  }
  return ok_status();
}

}  // namespace velq
