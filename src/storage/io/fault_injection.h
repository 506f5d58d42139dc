// A FileSystem that passes every operation to another one, counting them by
// kind, and makes the N-th operation of a chosen kind fail with an I/O error
// or end the process before it happens. Crash tests run a workload through it
// and stop it at every step in turn; failure tests check that an error at any
// step leaves the database usable and its files intact.
//
// Counters are atomic, so pool threads may share it; arm() and disarm() are
// for the controlling test, between operations.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "storage/io/file_system.h"

namespace velq {

class FaultInjectingFileSystem final : public FileSystem,
                                       public std::enable_shared_from_this<FaultInjectingFileSystem> {
 public:
  enum class Action : std::uint8_t {
    kFail,   // the operation returns an I/O error and does nothing
    kCrash,  // the process ends at once (std::_Exit(kCrashExitCode)), as if killed
  };
  static constexpr int kCrashExitCode = 86;

  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> base) : base_(std::move(base)) {}

  // The `nth` operation of kind `op` from now on (1 = the next one) takes
  // `action`. With `sticky`, every later operation of that kind fails too
  // (a disk that stays full). Replaces any earlier fault.
  void arm(FileOp op, std::uint64_t nth, Action action, bool sticky = false);
  void disarm();

  // Operations of kind `op` seen since construction, the faulty ones included.
  std::uint64_t count(FileOp op) const;
  // Whether the armed fault has struck.
  bool fired() const { return fired_.load(); }

  // Counts one operation of kind `op`; an error when it is to fail. Used by
  // the files this file system opens.
  Status check(FileOp op);

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override;
  Result<FileInfo> stat(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status remove(const std::string& path) override;
  Status create_directories(const std::string& path) override;
  Result<std::vector<std::string>> list(const std::string& dir) override;
  Result<std::unique_ptr<FileLock>> lock_exclusive(const std::string& path) override;

 private:
  std::shared_ptr<FileSystem> base_;
  std::array<std::atomic<std::uint64_t>, kFileOpCount> counts_{};
  std::atomic<bool> armed_ = false;
  std::atomic<bool> fired_ = false;
  FileOp op_ = FileOp::kOpen;
  std::uint64_t at_count_ = 0;  // counts_[op_] value that triggers
  Action action_ = Action::kFail;
  bool sticky_ = false;
};

}  // namespace velq
