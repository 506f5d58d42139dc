#include "storage/slots/live_codes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "common/panic.h"

namespace velq {

namespace {

// stride * slots in bytes, or an error when it does not fit a file length
// and an address range.
Result<std::uint64_t> file_bytes_for(std::uint64_t slots, std::uint64_t stride) {
  std::uint64_t bytes = 0;
  constexpr std::uint64_t kMaxBytes = std::min<std::uint64_t>(
      std::numeric_limits<off_t>::max(), std::numeric_limits<std::size_t>::max());
  if (__builtin_mul_overflow(slots, stride, &bytes) || bytes > kMaxBytes) {
    return Error::invalid_argument("slot file too large: " + std::to_string(slots) +
                                   " slots of " + std::to_string(stride) + " bytes");
  }
  return bytes;
}

// The unit the mapping faults in, and so the unit of a reservation.
std::uint64_t page_bytes() {
  static const std::uint64_t bytes = [] {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::uint64_t>(page) : std::uint64_t{4096};
  }();
  return bytes;
}

}  // namespace

ReleasedSlotFile::~ReleasedSlotFile() {
  if (file_ != nullptr) static_cast<void>(file_->ensure_mapped());
}

Status ReleasedSlotFile::reacquire() {
  LiveCodesFile* file = std::exchange(file_, nullptr);
  return file == nullptr ? ok_status() : file->ensure_mapped();
}

LiveCodesFile::LiveCodesFile(std::shared_ptr<FileSystem> fs, std::string path,
                             std::uint64_t stride)
    : fs_(std::move(fs)), path_(std::move(path)), stride_(stride) {}

LiveCodesFile::LiveCodesFile(LiveCodesFile&& other) noexcept
    : fs_(std::move(other.fs_)),
      map_(std::move(other.map_)),
      path_(std::move(other.path_)),
      stride_(other.stride_),
      capacity_(std::exchange(other.capacity_, 0)),
      len_(std::exchange(other.len_, 0)),
      file_(std::move(other.file_)),
      reserved_begin_(std::exchange(other.reserved_begin_, 0)),
      reserved_end_(std::exchange(other.reserved_end_, 0)) {}

LiveCodesFile& LiveCodesFile::operator=(LiveCodesFile&& other) noexcept {
  if (this != &other) {
    drop_handles();
    fs_ = std::move(other.fs_);
    map_ = std::move(other.map_);
    path_ = std::move(other.path_);
    stride_ = other.stride_;
    capacity_ = std::exchange(other.capacity_, 0);
    len_ = std::exchange(other.len_, 0);
    file_ = std::move(other.file_);
    reserved_begin_ = std::exchange(other.reserved_begin_, 0);
    reserved_end_ = std::exchange(other.reserved_end_, 0);
  }
  return *this;
}

LiveCodesFile::~LiveCodesFile() { drop_handles(); }

Result<LiveCodesFile> LiveCodesFile::open(std::shared_ptr<FileSystem> fs, std::string path,
                                          std::uint64_t stride) {
  LiveCodesFile file(std::move(fs), std::move(path), stride);
  VELQ_RETURN_IF_ERROR(file.ensure_open());
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t bytes, file.file_->size());
  file.capacity_ = stride == 0 ? 0 : bytes / stride;
  file.len_ = file.capacity_;
  if (bytes != 0) VELQ_RETURN_IF_ERROR(file.remap());
  return file;
}

Status LiveCodesFile::ensure_open() {
  if (file_ != nullptr) return ok_status();
  VELQ_ASSIGN_OR_RETURN(file_, fs_->open(path_, OpenMode::kReadWrite));
  return ok_status();
}

void LiveCodesFile::unmap() { map_ = Mapping(); }

void LiveCodesFile::close_handle() { file_.reset(); }

void LiveCodesFile::drop_handles() {
  unmap();
  close_handle();
  forget_reserved(0);
}

void LiveCodesFile::forget_reserved(std::uint64_t file_bytes) {
  reserved_end_ = std::min(reserved_end_, file_bytes);
  reserved_begin_ = std::min(reserved_begin_, reserved_end_);
}

Status LiveCodesFile::remap() {
  unmap();
  VELQ_RETURN_IF_ERROR(ensure_open());
  if (capacity_ == 0) return ok_status();
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t bytes, file_->size());
  if (bytes == 0) return ok_status();
  VELQ_ASSIGN_OR_RETURN(map_, file_->map(bytes));
  return ok_status();
}

Status LiveCodesFile::ensure_mapped() {
  if (is_mapped() || capacity_ == 0) return ok_status();
  return remap();
}

// Sets the file to `slots` slots and maps it afresh. The old mapping stays in
// place until the new length and the new mapping are both in hand, so any
// failure leaves the file at its old length with its old mapping. When the
// file was unmapped on entry (released handles), a failure maps it again
// before returning, so the caller never finds its slots unreachable.
Status LiveCodesFile::resize_to(std::uint64_t slots) {
  auto attempt = [&]() -> Status {
    VELQ_ASSIGN_OR_RETURN(const std::uint64_t new_bytes, file_bytes_for(slots, stride_));
    VELQ_RETURN_IF_ERROR(ensure_open());
    VELQ_ASSIGN_OR_RETURN(const std::uint64_t old_bytes, file_->size());
    Mapping fresh;
    if (new_bytes < old_bytes) {
      // Shrinking: map the surviving prefix first; cutting the file is the
      // last step that can fail.
      VELQ_ASSIGN_OR_RETURN(fresh, file_->map(new_bytes));
      VELQ_RETURN_IF_ERROR(file_->truncate(new_bytes));
      forget_reserved(new_bytes);
    } else {
      // A partial slot left at the end of the file would otherwise become the
      // head of the first new slot, which must read as zeros.
      const std::uint64_t whole_bytes = capacity_ * stride_;
      if (whole_bytes < old_bytes) {
        VELQ_RETURN_IF_ERROR(file_->truncate(whole_bytes));
        forget_reserved(whole_bytes);
      }
      VELQ_RETURN_IF_ERROR(file_->truncate(new_bytes));
      Result<Mapping> mapped = file_->map(new_bytes);
      if (!mapped.ok()) {
        // Give back the zeros just added; nothing was written into them. A
        // failure here only leaves zeros that the next growth reuses.
        static_cast<void>(file_->truncate(old_bytes));
        return std::move(mapped).error();
      }
      fresh = std::move(mapped).value();
    }
    map_ = std::move(fresh);
    capacity_ = slots;
    return ok_status();
  };
  Status status = attempt();
  if (!status.ok()) static_cast<void>(ensure_mapped());
  return status;
}

Result<std::uint64_t> LiveCodesFile::alloc_slot() {
  VELQ_RETURN_IF_ERROR(reserve(1));
  return len_++;
}

Status LiveCodesFile::reserve(std::uint64_t count) {
  if (count == 0) return ok_status();
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (count > kMax - len_) return Error("slot file cannot hold " + std::to_string(count) + " more slots");
  const std::uint64_t need = len_ + count;
  if (need > capacity_) {
    const std::uint64_t steps = (need - capacity_ - 1) / kGrowthSlots + 1;
    if (steps > (kMax - capacity_) / kGrowthSlots) {
      return Error("slot file cannot grow past " + std::to_string(capacity_) + " slots");
    }
    VELQ_RETURN_IF_ERROR(resize_to(capacity_ + steps * kGrowthSlots));
  } else {
    VELQ_RETURN_IF_ERROR(ensure_mapped());
  }
  return reserve_pages(len_ * stride_, need * stride_);
}

Status LiveCodesFile::reserve_pages(std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t page = page_bytes();
  begin -= begin % page;
  // The last page may be cut short by the end of the file.
  end = std::min<std::uint64_t>(end + (page - end % page) % page, map_.size());
  if (begin >= end || (begin >= reserved_begin_ && end <= reserved_end_)) return ok_status();
  VELQ_RETURN_IF_ERROR(ensure_open());
  VELQ_RETURN_IF_ERROR(file_->allocate(begin, end - begin));
  if (reserved_begin_ < reserved_end_ && begin <= reserved_end_ && end >= reserved_begin_) {
    reserved_begin_ = std::min(reserved_begin_, begin);
    reserved_end_ = std::max(reserved_end_, end);
  } else {
    reserved_begin_ = begin;
    reserved_end_ = end;
  }
  return ok_status();
}

std::uint8_t* LiveCodesFile::slot_address(std::uint64_t index) const {
  if (!is_mapped()) panic("mmap not initialized");
  std::uint64_t start = 0;
  if (__builtin_mul_overflow(index, stride_, &start) || start > map_.size() ||
      stride_ > map_.size() - start) {
    panic("slot index out of range: slot " + std::to_string(index) + " of " +
          std::to_string(stride_) + " bytes in a mapping of " + std::to_string(map_.size()) +
          " bytes");
  }
  return map_.data() + start;
}

std::span<const std::uint8_t> LiveCodesFile::slot(std::uint64_t index) const {
  return {slot_address(index), static_cast<std::size_t>(stride_)};
}

std::span<std::uint8_t> LiveCodesFile::slot_mut(std::uint64_t index) {
  return {slot_address(index), static_cast<std::size_t>(stride_)};
}

std::span<const std::uint8_t> LiveCodesFile::mapped_bytes() const {
  if (!is_mapped()) panic("mmap not initialized");
  return map_.bytes();
}

Status LiveCodesFile::flush() {
  if (!is_mapped()) return ok_status();
  return file_->sync_mapping(map_);
}

Status LiveCodesFile::truncate_to(std::uint64_t n) {
  VELQ_RETURN_IF_ERROR(resize_to(n));
  len_ = n;
  return ok_status();
}

Status LiveCodesFile::clear() { return truncate_to(0); }

void LiveCodesFile::advise_random() {
  if (is_mapped()) static_cast<void>(::posix_madvise(map_.data(), map_.size(), POSIX_MADV_RANDOM));
}

ReleasedSlotFile LiveCodesFile::release_handles() {
  drop_handles();
  return ReleasedSlotFile(*this);
}

Status LiveCodesFile::set_len(std::uint64_t n) {
  if (n > capacity_) {
    return Error::corruption("slot count " + std::to_string(n) + " exceeds the " + std::to_string(capacity_) +
                 " slots of " + path_);
  }
  len_ = n;
  return ok_status();
}

}  // namespace velq
