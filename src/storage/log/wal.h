// The write-ahead log wal.log: every write and delete of a write call is
// appended as one batch before the call returns, so writes not yet flushed
// into a segment survive a crash of the process. The log is a local file
// only; its layout is in docs/formats/wal.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/file_system.h"
#include "storage/log/wal_entry.h"

namespace velq {

// The shape of a stored code, which is all the log needs to check the
// entries it carries.
struct CodeLengths {
  std::size_t n = 0;         // MSE indices per code
  unsigned mse_bits = 0;     // bits per packed index
  std::size_t qjl_bytes = 0;  // sign bytes per code

  std::size_t packed_mse_bytes() const;
};

// What a log image decodes to. `valid_end` is the byte offset just past the
// last accepted record (the header size when none was accepted).
struct WalImage {
  enum class Stop {
    kEndOfLog,          // every byte belonged to an accepted record
    kIncomplete,        // a record runs past the end: a torn append, or a damaged length
    kChecksumMismatch,  // a record's CRC-32 does not match its bytes
    kMalformed,         // a record that does not decode or has the wrong code lengths
  };
  std::uint32_t version = 0;
  std::vector<WalEntry> entries;
  std::uint64_t valid_end = 0;
  Stop stop = Stop::kEndOfLog;
};

// Decodes a whole log image; never prints. An image that is not a log
// (shorter than the header or without the magic) decodes to version 0 and
// no entries. An unsupported version is a corruption error. The first
// damaged or incomplete record ends the decoding; with `lengths`, a write
// entry whose packed indices or sign bytes do not have those lengths counts
// as malformed.
Result<WalImage> decode_wal(std::span<const std::uint8_t> image, const CodeLengths* lengths);

struct OpenedWal;

class Wal {
 public:
  // Opens (creating) the log at `path`, reads back its records and repairs
  // it so that later appends are never hidden behind bytes replay stops at:
  // whatever follows the last accepted record (a torn tail, a damaged
  // length, a checksum mismatch, an undecodable record) is kept in the first
  // free "<path>.corrupt-N" before the file is cut back; a file without the
  // magic is kept there whole and the log restarted; a version-4 log is
  // rewritten as version 5 (appends always use version-5 framing). A
  // checksum mismatch is reported with one line on standard error. The
  // entries' codes must have `lengths`.
  static Result<OpenedWal> open(std::shared_ptr<FileSystem> fs, std::string path,
                                CodeLengths lengths);

  Wal(Wal&&) noexcept = default;
  Wal& operator=(Wal&&) noexcept = default;
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;

  // Appends every entry in one write to the operating system; with `sync`
  // the file is also synced to stable storage. An empty batch writes
  // nothing. A write entry's packed_mse must hold
  // lengths.packed_mse_bytes() bytes.
  // A batch whose write fails is cut off again, leaving the log as before;
  // when that cut fails too, or the write succeeded and the sync failed, the
  // error is ErrorKind::kUnsynced: the batch may reappear at the next open,
  // and the caller must not report it lost, nor append further.
  Status append_batch(std::span<const WalEntry> entries, bool sync);

  // Empties the log back to its header (written as the current version).
  Status truncate();

  const std::string& path() const { return path_; }

 private:
  Wal(std::string path, CodeLengths lengths, std::unique_ptr<File> file, std::uint64_t end)
      : path_(std::move(path)), lengths_(lengths), file_(std::move(file)), end_(end) {}

  std::string path_;
  CodeLengths lengths_;
  std::unique_ptr<File> file_;  // opened for appending: every write lands at the end
  // The file's length, kept so that an append needs no size query to learn
  // where a failed batch must be cut back to; unknown (asked of the file
  // again) after a failed truncation left it in doubt.
  std::optional<std::uint64_t> end_;
};

// The log as opening found it: what it held, and the only handle that can
// append to it.
struct OpenedWal {
  Wal wal;
  std::vector<WalEntry> entries;   // every accepted record, in log order
  std::uint64_t bytes_set_aside = 0;  // bytes moved to "<path>.corrupt-N" by the repair
};

}  // namespace velq
