#include "storage/io/fault_injection.h"

#include <cstdlib>
#include <utility>

namespace velq {

namespace {

const char* op_name(FileOp op) {
  switch (op) {
    case FileOp::kOpen: return "open";
    case FileOp::kRead: return "read";
    case FileOp::kWrite: return "write";
    case FileOp::kSync: return "sync";
    case FileOp::kTruncate: return "truncate";
    case FileOp::kMap: return "map";
    case FileOp::kRename: return "rename";
    case FileOp::kRemove: return "remove";
    case FileOp::kStat: return "stat";
    case FileOp::kList: return "list";
    case FileOp::kMkdir: return "mkdir";
    case FileOp::kAllocate: return "allocate";
    case FileOp::kLock: return "lock";
  }
  return "?";
}

// Every operation of a file opened through the injector is counted there
// before it reaches the real file.
class FaultFile final : public File {
 public:
  FaultFile(std::unique_ptr<File> base, std::shared_ptr<FaultInjectingFileSystem> fs)
      : base_(std::move(base)), fs_(std::move(fs)) {}

  Result<std::uint64_t> size() override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kStat));
    return base_->size();
  }
  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kRead));
    return base_->read_at(offset, out);
  }
  Status append(std::span<const std::uint8_t> bytes) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kWrite));
    return base_->append(bytes);
  }
  Status sync() override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kSync));
    return base_->sync();
  }
  Status truncate(std::uint64_t size) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kTruncate));
    return base_->truncate(size);
  }
  Status allocate(std::uint64_t offset, std::uint64_t len) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kAllocate));
    return base_->allocate(offset, len);
  }
  Result<Mapping> map(std::uint64_t bytes) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kMap));
    return base_->map(bytes);
  }
  Status sync_mapping(const Mapping& mapping) override {
    VELQ_RETURN_IF_ERROR(fs_->check(FileOp::kSync));
    return base_->sync_mapping(mapping);
  }
  // Closing is not a fault point: a descriptor is always released.
  Status close() override { return base_->close(); }

 private:
  std::unique_ptr<File> base_;
  std::shared_ptr<FaultInjectingFileSystem> fs_;
};

}  // namespace

void FaultInjectingFileSystem::arm(FileOp op, std::uint64_t nth, Action action, bool sticky) {
  op_ = op;
  at_count_ = counts_[static_cast<std::size_t>(op)].load() + (nth == 0 ? 1 : nth);
  action_ = action;
  sticky_ = sticky;
  fired_ = false;
  armed_ = true;
}

void FaultInjectingFileSystem::disarm() { armed_ = false; }

std::uint64_t FaultInjectingFileSystem::count(FileOp op) const {
  return counts_[static_cast<std::size_t>(op)].load();
}

Status FaultInjectingFileSystem::check(FileOp op) {
  const std::uint64_t n = ++counts_[static_cast<std::size_t>(op)];
  if (!armed_.load() || op != op_) return ok_status();
  if (n != at_count_ && !(sticky_ && n > at_count_)) return ok_status();
  fired_ = true;
  if (action_ == Action::kCrash) std::_Exit(kCrashExitCode);
  return Error(std::string("injected fault: ") + op_name(op) + " #" + std::to_string(n),
               ErrorKind::kIo);
}

Result<std::unique_ptr<File>> FaultInjectingFileSystem::open(const std::string& path,
                                                             OpenMode mode) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kOpen));
  VELQ_ASSIGN_OR_RETURN(std::unique_ptr<File> file, base_->open(path, mode));
  return std::unique_ptr<File>(std::make_unique<FaultFile>(std::move(file), shared_from_this()));
}

Result<FileInfo> FaultInjectingFileSystem::stat(const std::string& path) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kStat));
  return base_->stat(path);
}

Status FaultInjectingFileSystem::rename(const std::string& from, const std::string& to) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kRename));
  return base_->rename(from, to);
}

Status FaultInjectingFileSystem::remove(const std::string& path) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kRemove));
  return base_->remove(path);
}

Status FaultInjectingFileSystem::create_directories(const std::string& path) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kMkdir));
  return base_->create_directories(path);
}

Result<std::vector<std::string>> FaultInjectingFileSystem::list(const std::string& dir) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kList));
  return base_->list(dir);
}

Result<std::unique_ptr<FileLock>> FaultInjectingFileSystem::lock_exclusive(
    const std::string& path) {
  VELQ_RETURN_IF_ERROR(check(FileOp::kLock));
  return base_->lock_exclusive(path);
}

}  // namespace velq
