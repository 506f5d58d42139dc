// The one way the storage layer reaches files: open, read, write, sync,
// truncate, map, rename, remove, stat, list, directory creation and file
// locks all go through a FileSystem. The local implementation is the default; tests and
// crash harnesses put a FaultInjectingFileSystem (fault_injection.h) in its
// place to fail or stop the process at any single operation.
//
// Errors: a path that does not exist gives ErrorKind::kNotFound and nothing
// else does; every other failure of the operating system is kIo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace velq {

// Operations, as the fault injector counts them.
enum class FileOp : std::uint8_t {
  kOpen,
  kRead,
  kWrite,     // append
  kSync,      // sync of a file or of a mapping
  kTruncate,
  kMap,
  kRename,
  kRemove,
  kStat,      // stat, size
  kList,
  kMkdir,
  kAllocate,  // reserving storage for a range of a file
  kLock,
};
inline constexpr std::size_t kFileOpCount = 13;

// How a file is opened. Every mode but kRead creates a missing file (0666
// before the umask).
enum class OpenMode : std::uint8_t {
  kRead,       // read only
  kReadWrite,  // read and write in place, never truncated on open (slot files)
  kAppend,     // writes land at the end (the log)
  kTruncate,   // emptied on open, then written front to back (whole-file writes)
};

struct FileInfo {
  std::uint64_t size = 0;
  bool is_directory = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// A mapped range of a file, unmapped when destroyed. The mapping stays valid
// after the file it came from is closed.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // Only a file system makes mappings: `data` must come from mmap of `size`
  // bytes (nullptr for an empty mapping).
  static Mapping adopt(void* data, std::size_t size, bool writable) {
    return Mapping(data, size, writable);
  }

  std::uint8_t* data() const { return static_cast<std::uint8_t*>(data_); }
  std::size_t size() const { return size_; }
  bool writable() const { return writable_; }
  std::span<const std::uint8_t> bytes() const { return {data(), size_}; }

 private:
  Mapping(void* data, std::size_t size, bool writable)
      : data_(data), size_(size), writable_(writable) {}

  void* data_ = nullptr;
  std::size_t size_ = 0;
  bool writable_ = false;
};

// An open file. Not thread-safe.
class File {
 public:
  virtual ~File() = default;

  virtual Result<std::uint64_t> size() = 0;
  // Reads up to out.size() bytes at `offset`; fewer only at the end of file.
  virtual Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // Writes all of `bytes` at the end of the file, resuming after short writes.
  virtual Status append(std::span<const std::uint8_t> bytes) = 0;
  // Waits until the file's contents are on stable storage.
  virtual Status sync() = 0;
  virtual Status truncate(std::uint64_t size) = 0;
  // Reserves storage for bytes [offset, offset + len), which lie within the
  // file, so that later stores there, through a mapping too, cannot fail for
  // want of space: a store into a sparse hole of a mapped file on a full
  // disk is a SIGBUS, not an error. Length and contents stay as they are.
  // A full disk is a kIo error (ENOSPC).
  virtual Status allocate(std::uint64_t offset, std::uint64_t len) = 0;
  // Maps the first `bytes` bytes (shared; writable unless the file was opened
  // for reading). Zero bytes give an empty mapping without a system call.
  virtual Result<Mapping> map(std::uint64_t bytes) = 0;
  // Writes a mapping of this file back and waits for it.
  virtual Status sync_mapping(const Mapping& mapping) = 0;
  // Closes now, reporting a deferred write error; the destructor closes
  // silently.
  virtual Status close() = 0;
};

// An exclusive advisory lock on a file, held until destroyed. It belongs to
// the open file description, so the operating system drops it when the
// process ends however it ends.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) = 0;
  virtual Result<FileInfo> stat(const std::string& path) = 0;
  // Moves `from` over `to` in one step.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Removes a file (not a directory); a missing file is kNotFound.
  virtual Status remove(const std::string& path) = 0;
  // Creates `path` and its missing ancestors; an existing directory is fine.
  virtual Status create_directories(const std::string& path) = 0;
  // Names of the entries of a directory ("." and ".." left out), any order.
  virtual Result<std::vector<std::string>> list(const std::string& dir) = 0;
  // Takes the exclusive lock of the file at `path` (created when missing)
  // without waiting. Held elsewhere, by this process or another: kBusy. A
  // second lock of the same file within one process is refused too.
  virtual Result<std::unique_ptr<FileLock>> lock_exclusive(const std::string& path) = 0;
};

// The process-wide local file system (POSIX calls).
std::shared_ptr<FileSystem> local_file_system();

}  // namespace velq
