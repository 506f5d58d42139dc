// A growable, memory-mapped file of fixed-size slots (live_codes.bin and
// live_vectors.bin). The file is nothing but slots: slot i occupies bytes
// [i * stride, (i + 1) * stride). There is no header, count or checksum; what
// a slot holds is the engine's business.
//
// Invariants: len <= capacity; after a growth or truncate_to the file is
// exactly stride * capacity bytes long; while mapped, the mapping covers the
// whole file as it was when mapped. A failed resize leaves the file at its old
// length and mapped, so slot access never finds the mapping gone because an
// operating-system call failed.
//
// Not thread-safe: mutations run under the engine's write lock; slot views may
// be read concurrently under its read lock. Views taken before a resize must
// not be used after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <memory>
#include <string>
#include <utility>

#include "common/result.h"
#include "storage/io/file_system.h"

namespace velq {

class LiveCodesFile;

// While alive, its slot file is unmapped and closed, so the file can be
// renamed, replaced or copied; when it goes, on every exit path, the file is
// reopened and mapped again. reacquire() does that early and reports the
// error that the destructor can only leave to the next slot access.
class [[nodiscard]] ReleasedSlotFile {
 public:
  explicit ReleasedSlotFile(LiveCodesFile& file) : file_(&file) {}
  ReleasedSlotFile(ReleasedSlotFile&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  ReleasedSlotFile& operator=(ReleasedSlotFile&&) = delete;
  ReleasedSlotFile(const ReleasedSlotFile&) = delete;
  ReleasedSlotFile& operator=(const ReleasedSlotFile&) = delete;
  ~ReleasedSlotFile();

  Status reacquire();

 private:
  LiveCodesFile* file_;
};

class LiveCodesFile {
 public:
  // Slots added by one growth step.
  static constexpr std::uint64_t kGrowthSlots = 16384;

  // Opens `path` read-write, creating it (0666 before the umask) but never
  // truncating it. Every whole slot in the file counts as in use; a partial
  // slot at the end stays in the file but is not counted.
  static Result<LiveCodesFile> open(std::shared_ptr<FileSystem> fs, std::string path,
                                    std::uint64_t stride);

  LiveCodesFile(LiveCodesFile&& other) noexcept;
  LiveCodesFile& operator=(LiveCodesFile&& other) noexcept;
  LiveCodesFile(const LiveCodesFile&) = delete;
  LiveCodesFile& operator=(const LiveCodesFile&) = delete;
  ~LiveCodesFile();

  // Hands out slot `len` and counts it in use, growing the file by
  // kGrowthSlots slots (zero-filled) when every slot is taken. The slot's
  // storage is reserved first (see reserve).
  Result<std::uint64_t> alloc_slot();

  // Makes sure the next `count` slots (len .. len + count - 1) are in the
  // file with their storage allocated, growing the file by whole steps when
  // needed, so that storing into them through the mapping cannot fault on a
  // full disk. Growth leaves sparse holes; only the pages these slots touch
  // are reserved, never the rest of a step. No slot is handed out: a failure
  // leaves len as it was and the slots zero, ready for a retry.
  Status reserve(std::uint64_t count);

  // Views of slot `index`'s stride bytes inside the mapping, without a
  // system call. Panic with "mmap not initialized" when unmapped, and with an
  // out-of-range message when the slot does not lie wholly in the mapping.
  std::span<const std::uint8_t> slot(std::uint64_t index) const;
  std::span<std::uint8_t> slot_mut(std::uint64_t index);
  // The whole mapping (capacity slots), for scans that read many slots;
  // panics with "mmap not initialized" when unmapped.
  std::span<const std::uint8_t> mapped_bytes() const;

  // Writes the whole mapping back to the file and waits for it; nothing
  // when unmapped.
  Status flush();

  // Sets the file to exactly n slots (shrinking or growing); capacity and
  // len become n.
  Status truncate_to(std::uint64_t n);

  // Empties the file; capacity and len become 0 and the file stays unmapped.
  Status clear();

  // Tells the kernel the mapping is read in no particular order. Failures
  // are ignored: the advice only affects read-ahead.
  void advise_random();

  // Unmaps and closes the file so it can be renamed or replaced, until the
  // returned guard goes (see ReleasedSlotFile). alloc_slot, truncate_to and
  // clear also reopen the path on their own.
  ReleasedSlotFile release_handles();

  // Sets the number of slots in use, for a caller that tracks it elsewhere
  // (the id pool's slot count after a reopen). Fails when the file holds
  // fewer than n slots.
  Status set_len(std::uint64_t n);

  const std::string& path() const { return path_; }
  std::uint64_t stride() const { return stride_; }
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t len() const { return len_; }
  bool is_mapped() const { return map_.data() != nullptr; }
  bool has_handle() const { return file_ != nullptr; }

 private:
  friend class ReleasedSlotFile;

  LiveCodesFile(std::shared_ptr<FileSystem> fs, std::string path, std::uint64_t stride);

  // Reopens and maps the file when a release or a failed step left it
  // unmapped while it still holds slots.
  Status ensure_mapped();
  Status ensure_open();
  Status remap();
  Status resize_to(std::uint64_t slots);
  void unmap();
  void close_handle();
  // Unmaps and closes; what release_handles does before handing out its guard.
  void drop_handles();
  std::uint8_t* slot_address(std::uint64_t index) const;
  // Reserves the whole pages of the mapping that bytes [begin, end) touch,
  // unless the last reservation covered them.
  Status reserve_pages(std::uint64_t begin, std::uint64_t end);
  void forget_reserved(std::uint64_t file_bytes);

  std::shared_ptr<FileSystem> fs_;
  Mapping map_;
  std::string path_;
  std::uint64_t stride_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t len_ = 0;
  std::unique_ptr<File> file_;
  // File bytes [reserved_begin_, reserved_end_) are known to have storage,
  // which spares slot after slot a system call. Reset when the handle goes:
  // the path may then name another file.
  std::uint64_t reserved_begin_ = 0;
  std::uint64_t reserved_end_ = 0;
};

}  // namespace velq
