// The write-ahead log wal.log: every write and delete of a write call is
// appended as one batch before the call returns, so writes not yet flushed
// into a segment survive a crash of the process. The log is a local file
// only; its layout is in docs/formats/wal.md.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "quantizer/prod_quantizer.h"
#include "storage/log/wal_entry.h"

namespace velq {

// What a log image decodes to. `valid_end` is the byte offset just past the
// last accepted record (the header size when none was accepted).
struct WalImage {
  enum class Stop {
    kEndOfLog,     // every byte belonged to an accepted record
    kTornTail,     // the last record is incomplete: a crash during an append
    kDamaged,      // checksum mismatch or undecodable record with bytes after it
  };
  std::uint32_t version = 0;
  std::vector<WalEntry> entries;
  std::uint64_t valid_end = 0;
  Stop stop = Stop::kEndOfLog;
};

// Decodes a whole log image. Returns nullopt-like empty image (version 0)
// for an image that is not a log: shorter than the header or without the
// magic. An unsupported version is an error. A damaged or incomplete record
// ends the decoding; a checksum mismatch prints one line on standard error.
// With a quantizer, a write entry whose packed indices or sign bytes do not
// have the quantizer's lengths counts as damaged.
Result<WalImage> decode_wal(std::span<const std::uint8_t> image, const ProdQuantizer* quantizer);

class Wal {
 public:
  // Opens or creates the log for appending. A missing, empty or shorter
  // than header log gets a fresh header; a log that does not start with the
  // magic is moved aside to "<path>.corrupt-N" and a fresh log started.
  static Result<Wal> open(const std::string& path);

  // Reads the log back. Before returning, the file is cut back to the end
  // of the last accepted record so that later appends are never hidden
  // behind a damaged one; damaged bytes are kept in "<path>.corrupt-N". A
  // version-4 log with no accepted record is restarted as version 5.
  static Result<std::vector<WalEntry>> replay(const std::string& path,
                                              const ProdQuantizer* quantizer);

  Wal(Wal&& other) noexcept;
  Wal& operator=(Wal&& other) noexcept;
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;
  ~Wal();

  // Installs the quantizer that packs MSE indices. Must precede the first
  // append of a write entry.
  void set_quantizer(std::shared_ptr<const ProdQuantizer> quantizer);

  // Appends every entry in one write to the operating system; with `sync`
  // the file is also synced to stable storage. An empty batch writes
  // nothing. A write entry's mse_indices must hold the quantizer's n values.
  // A batch whose write fails is cut off again, leaving the log as before.
  Status append_batch(std::span<const WalEntry> entries, bool sync);

  // Empties the log back to its header (written as the current version).
  Status truncate();

  const std::string& path() const { return path_; }

 private:
  Wal(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_ = -1;  // opened with O_APPEND: every write lands at the current end
  std::shared_ptr<const ProdQuantizer> quantizer_;
};

}  // namespace velq
