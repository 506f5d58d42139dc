#include "storage/slots/live_codes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "storage/io/file_io.h"
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
    return Error("slot file too large: " + std::to_string(slots) + " slots of " +
                 std::to_string(stride) + " bytes");
  }
  return bytes;
}

Result<std::uint64_t> file_length(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

// A shared, writable mapping of the first `bytes` bytes of `fd`.
Result<std::uint8_t*> map_file(int fd, std::uint64_t bytes) {
  if (fd < 0) panic("file handle open");
  void* p = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED,
                   fd, 0);
  if (p == MAP_FAILED) return os_error(errno);
  return static_cast<std::uint8_t*>(p);
}

}  // namespace

LiveCodesFile::LiveCodesFile(std::string path, std::uint64_t stride, int fd)
    : path_(std::move(path)), stride_(stride), fd_(fd) {}

LiveCodesFile::LiveCodesFile(LiveCodesFile&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      map_bytes_(std::exchange(other.map_bytes_, 0)),
      path_(std::move(other.path_)),
      stride_(other.stride_),
      capacity_(std::exchange(other.capacity_, 0)),
      len_(std::exchange(other.len_, 0)),
      fd_(std::exchange(other.fd_, -1)) {}

LiveCodesFile& LiveCodesFile::operator=(LiveCodesFile&& other) noexcept {
  if (this != &other) {
    release_handles();
    map_ = std::exchange(other.map_, nullptr);
    map_bytes_ = std::exchange(other.map_bytes_, 0);
    path_ = std::move(other.path_);
    stride_ = other.stride_;
    capacity_ = std::exchange(other.capacity_, 0);
    len_ = std::exchange(other.len_, 0);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

LiveCodesFile::~LiveCodesFile() { release_handles(); }

Result<LiveCodesFile> LiveCodesFile::open(std::string path, std::uint64_t stride) {
  LiveCodesFile file(std::move(path), stride, -1);
  VELQ_RETURN_IF_ERROR(file.ensure_open());
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t bytes, file_length(file.fd_));
  file.capacity_ = stride == 0 ? 0 : bytes / stride;
  file.len_ = file.capacity_;
  if (bytes != 0) VELQ_RETURN_IF_ERROR(file.remap());
  return file;
}

Status LiveCodesFile::ensure_open() {
  if (fd_ >= 0) return ok_status();
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  fd_ = fd;
  return ok_status();
}

void LiveCodesFile::unmap() {
  if (map_ != nullptr) ::munmap(map_, map_bytes_);
  map_ = nullptr;
  map_bytes_ = 0;
}

void LiveCodesFile::close_handle() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status LiveCodesFile::remap() {
  unmap();
  VELQ_RETURN_IF_ERROR(ensure_open());
  if (capacity_ == 0) return ok_status();
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t bytes, file_length(fd_));
  if (bytes == 0) return ok_status();
  VELQ_ASSIGN_OR_RETURN(map_, map_file(fd_, bytes));
  map_bytes_ = static_cast<std::size_t>(bytes);
  return ok_status();
}

Status LiveCodesFile::ensure_mapped() {
  if (map_ != nullptr || capacity_ == 0) return ok_status();
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
    VELQ_ASSIGN_OR_RETURN(const std::uint64_t old_bytes, file_length(fd_));
    std::uint8_t* fresh = nullptr;
    if (new_bytes < old_bytes) {
      // Shrinking: map the surviving prefix first; cutting the file is the
      // last step that can fail.
      if (new_bytes > 0) {
        VELQ_ASSIGN_OR_RETURN(fresh, map_file(fd_, new_bytes));
      }
      if (::ftruncate(fd_, static_cast<off_t>(new_bytes)) != 0) {
        const int err = errno;
        if (fresh != nullptr) ::munmap(fresh, static_cast<std::size_t>(new_bytes));
        return os_error(err);
      }
    } else {
      // A partial slot left at the end of the file would otherwise become the
      // head of the first new slot, which must read as zeros.
      const std::uint64_t whole_bytes = capacity_ * stride_;
      if (whole_bytes < old_bytes && ::ftruncate(fd_, static_cast<off_t>(whole_bytes)) != 0) {
        return os_error(errno);
      }
      if (::ftruncate(fd_, static_cast<off_t>(new_bytes)) != 0) return os_error(errno);
      if (new_bytes > 0) {
        Result<std::uint8_t*> mapped = map_file(fd_, new_bytes);
        if (!mapped.ok()) {
          // Give back the zeros just added; nothing was written into them.
          static_cast<void>(::ftruncate(fd_, static_cast<off_t>(old_bytes)));
          return std::move(mapped).error();
        }
        fresh = *mapped;
      }
    }
    unmap();
    map_ = fresh;
    map_bytes_ = static_cast<std::size_t>(new_bytes);
    capacity_ = slots;
    return ok_status();
  };
  Status status = attempt();
  if (!status.ok()) static_cast<void>(ensure_mapped());
  return status;
}

Result<std::uint64_t> LiveCodesFile::alloc_slot() {
  if (map_ == nullptr && len_ < capacity_) VELQ_RETURN_IF_ERROR(ensure_mapped());
  if (len_ >= capacity_) {
    if (capacity_ > std::numeric_limits<std::uint64_t>::max() - kGrowthSlots) {
      return Error("slot file cannot grow past " + std::to_string(capacity_) + " slots");
    }
    VELQ_RETURN_IF_ERROR(resize_to(capacity_ + kGrowthSlots));
  }
  return len_++;
}

std::uint8_t* LiveCodesFile::slot_address(std::uint64_t index) const {
  if (map_ == nullptr) panic("mmap not initialized");
  std::uint64_t start = 0;
  if (__builtin_mul_overflow(index, stride_, &start) || start > map_bytes_ ||
      stride_ > map_bytes_ - start) {
    panic("slot index out of range: slot " + std::to_string(index) + " of " +
          std::to_string(stride_) + " bytes in a mapping of " + std::to_string(map_bytes_) +
          " bytes");
  }
  return map_ + start;
}

std::span<const std::uint8_t> LiveCodesFile::slot(std::uint64_t index) const {
  return {slot_address(index), static_cast<std::size_t>(stride_)};
}

std::span<std::uint8_t> LiveCodesFile::slot_mut(std::uint64_t index) {
  return {slot_address(index), static_cast<std::size_t>(stride_)};
}

Status LiveCodesFile::flush() {
  if (map_ == nullptr) return ok_status();
  if (::msync(map_, map_bytes_, MS_SYNC) != 0) return os_error(errno);
  return ok_status();
}

Status LiveCodesFile::truncate_to(std::uint64_t n) {
  VELQ_RETURN_IF_ERROR(resize_to(n));
  len_ = n;
  return ok_status();
}

Status LiveCodesFile::clear() { return truncate_to(0); }

void LiveCodesFile::advise_random() {
  if (map_ != nullptr) static_cast<void>(::posix_madvise(map_, map_bytes_, POSIX_MADV_RANDOM));
}

void LiveCodesFile::release_handles() {
  unmap();
  close_handle();
}

Status LiveCodesFile::set_len(std::uint64_t n) {
  if (n > capacity_) {
    return Error("slot count " + std::to_string(n) + " exceeds the " + std::to_string(capacity_) +
                 " slots of " + path_);
  }
  len_ = n;
  return ok_status();
}

}  // namespace velq
