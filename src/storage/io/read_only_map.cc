#include "storage/io/read_only_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "storage/io/file_io.h"

namespace velq {

Result<ReadOnlyMap> ReadOnlyMap::open(const std::string& path) {
  FdGuard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return os_error(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  const auto size = static_cast<std::size_t>(st.st_size);
  void* data = nullptr;
  if (size > 0) {
    data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (data == MAP_FAILED) return os_error(errno);
  }
  return ReadOnlyMap(data, size);
}

ReadOnlyMap::ReadOnlyMap(ReadOnlyMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ReadOnlyMap& ReadOnlyMap::operator=(ReadOnlyMap&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ReadOnlyMap::~ReadOnlyMap() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

}  // namespace velq
