// FileSystem over POSIX calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "storage/io/file_io.h"
#include "storage/io/file_system.h"

namespace velq {

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      writable_(other.writable_) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    writable_ = other.writable_;
  }
  return *this;
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

namespace {

// The system calls would stop at a NUL byte and act on a shorter path.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

class LocalFile final : public File {
 public:
  LocalFile(int fd, OpenMode mode) : fd_(fd), mode_(mode) {}
  ~LocalFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Result<std::uint64_t> size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return os_error(errno);
    return static_cast<std::uint64_t>(st.st_size);
  }

  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return os_error(errno);
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

  Status append(std::span<const std::uint8_t> bytes) override {
    // Files opened for appending land at the end by themselves.
    if (mode_ == OpenMode::kReadWrite && ::lseek(fd_, 0, SEEK_END) < 0) return os_error(errno);
    return write_all(fd_, bytes);
  }

  Status sync() override {
    if (::fsync(fd_) != 0) return os_error(errno);
    return ok_status();
  }

  Status truncate(std::uint64_t size) override {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return os_error(EFBIG);
    }
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return os_error(errno);
    return ok_status();
  }

  Status allocate(std::uint64_t offset, std::uint64_t len) override {
    if (len == 0) return ok_status();
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - len) {
      return os_error(EFBIG);
    }
    const int err = reserve_blocks(offset, len);
    if (err == 0) return ok_status();
    // The file system cannot reserve ahead of writing; writing the range
    // makes it take its blocks now instead of at the first store.
    if (err == EOPNOTSUPP || err == ENOTSUP || err == EINVAL) {
      return rewrite_in_place(fd_, offset, len);
    }
    return os_error(err);
  }

  Result<Mapping> map(std::uint64_t bytes) override {
    if (bytes == 0) return Mapping();
    if (bytes > std::numeric_limits<std::size_t>::max()) return os_error(ENOMEM);
    const bool writable = mode_ != OpenMode::kRead;
    void* p = ::mmap(nullptr, static_cast<std::size_t>(bytes),
                     writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) return os_error(errno);
    return Mapping::adopt(p, static_cast<std::size_t>(bytes), writable);
  }

  Status sync_mapping(const Mapping& mapping) override {
    if (mapping.size() == 0) return ok_status();
    if (::msync(mapping.data(), mapping.size(), MS_SYNC) != 0) return os_error(errno);
    return ok_status();
  }

  Status close() override {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) return os_error(errno);
    return ok_status();
  }

 private:
  // 0, or the errno value of the file system's refusal.
  int reserve_blocks(std::uint64_t offset, std::uint64_t len) {
#ifdef __APPLE__
    // Preallocation counts from the physical end of the file: ask for what
    // the range reaches beyond the blocks the file holds now.
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return errno;
    const auto held = static_cast<std::uint64_t>(st.st_blocks) * 512;
    if (offset + len <= held) return 0;
    fstore_t store{};
    store.fst_flags = F_ALLOCATEALL;
    store.fst_posmode = F_PEOFPOSMODE;
    store.fst_offset = 0;
    store.fst_length = static_cast<off_t>(offset + len - held);
    return ::fcntl(fd_, F_PREALLOCATE, &store) == -1 ? errno : 0;
#else
    int err;
    do {
      err = ::posix_fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(len));
    } while (err == EINTR);
    return err;
#endif
  }

  int fd_;
  OpenMode mode_;
};

class LocalFileLock final : public FileLock {
 public:
  explicit LocalFileLock(int fd) : fd_(fd) {}
  LocalFileLock(const LocalFileLock&) = delete;
  LocalFileLock& operator=(const LocalFileLock&) = delete;
  // Closing the descriptor releases the lock.
  ~LocalFileLock() override { ::close(fd_); }

 private:
  int fd_;
};

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead: return O_RDONLY;
    case OpenMode::kReadWrite: return O_RDWR | O_CREAT;
    case OpenMode::kAppend: return O_WRONLY | O_CREAT | O_APPEND;
    case OpenMode::kTruncate: return O_WRONLY | O_CREAT | O_TRUNC | O_APPEND;
  }
  return O_RDONLY;
}

class LocalFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    if (has_nul(path)) return os_error(EINVAL);
    int fd;
    do {
      fd = ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    std::unique_ptr<File> file = std::make_unique<LocalFile>(fd, mode);
    // Reading a directory fails late and obscurely; say so at once.
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    return file;
  }

  Result<FileInfo> stat(const std::string& path) override {
    if (has_nul(path)) return os_error(EINVAL);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return os_error(errno);
    return FileInfo{static_cast<std::uint64_t>(st.st_size), S_ISDIR(st.st_mode),
                    static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (has_nul(from) || has_nul(to)) return os_error(EINVAL);
    if (::rename(from.c_str(), to.c_str()) != 0) return os_error(errno);
    return ok_status();
  }

  Status remove(const std::string& path) override {
    if (has_nul(path)) return os_error(EINVAL);
    if (::unlink(path.c_str()) != 0) return os_error(errno);
    return ok_status();
  }

  Status create_directories(const std::string& path) override {
    if (path.empty()) return ok_status();
    if (has_nul(path)) return os_error(EINVAL);
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return os_error(ec.value());
    return ok_status();
  }

  Result<std::vector<std::string>> list(const std::string& dir) override {
    if (has_nul(dir)) return os_error(EINVAL);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return os_error(errno);
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(d);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    const int err = errno;
    ::closedir(d);
    if (err != 0) return os_error(err);
    return names;
  }

  Result<std::unique_ptr<FileLock>> lock_exclusive(const std::string& path) override {
    if (has_nul(path)) return os_error(EINVAL);
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    // flock, not fcntl locks: those belong to the process, so a second
    // descriptor of this process would neither be refused nor keep the lock
    // when the first one closes.
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return Error(path + " is locked", ErrorKind::kBusy);
      return os_error(err);
    }
    return std::unique_ptr<FileLock>(std::make_unique<LocalFileLock>(fd));
  }
};

}  // namespace

std::shared_ptr<FileSystem> local_file_system() {
  static const std::shared_ptr<FileSystem> fs = std::make_shared<LocalFileSystem>();
  return fs;
}

}  // namespace velq
