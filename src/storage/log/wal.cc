#include "storage/log/wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/byte_io.h"
#include "storage/io/file_io.h"
#include "common/panic.h"
#include "storage/log/wal_format.h"
#include "storage/log/wal_record.h"

namespace velq {

namespace {

std::vector<std::uint8_t> header_bytes() {
  std::vector<std::uint8_t> h;
  ByteWriter w(h);
  w.bytes(std::string_view(wal_format::kMagic, sizeof wal_format::kMagic));
  w.u32(wal_format::kVersion);
  return h;
}

// Empties the file at `path` down to a fresh header, written in one call so
// that a crash leaves either no header or a whole one.
Status restart_log(const std::string& path) {
  FdGuard fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return os_error(errno);
  VELQ_RETURN_IF_ERROR(write_all(fd.get(), header_bytes()));
  return fd.close();
}

// Keeps `bytes` in the first free "<path>.corrupt-N" so that nothing a
// damaged log held is thrown away by its repair.
Status keep_side_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  for (unsigned n = 0;; ++n) {
    const std::string side = path + wal_format::kCorruptSuffix + std::to_string(n);
    struct stat st {};
    if (::stat(side.c_str(), &st) == 0) continue;
    return write_file_atomic(side, bytes);
  }
}

bool has_magic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof wal_format::kMagic &&
         std::memcmp(bytes.data(), wal_format::kMagic, sizeof wal_format::kMagic) == 0;
}

}  // namespace

Result<Wal> Wal::open(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) {
    if (st.st_size < static_cast<off_t>(wal_format::kHeaderSize)) {
      // A header torn by a crash: nothing after it can exist.
      VELQ_RETURN_IF_ERROR(restart_log(path));
    } else {
      std::uint8_t head[sizeof wal_format::kMagic] = {};
      ssize_t got = 0;
      {
        FdGuard probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (probe.get() < 0) return os_error(errno);
        got = ::read(probe.get(), head, sizeof head);
        if (got < 0) return os_error(errno);
      }
      if (!has_magic(std::span(head, static_cast<std::size_t>(got)))) {
        // Not a log of ours: appending to it would hide every later record
        // from replay. Keep it aside and start over.
        VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> foreign, read_file(path));
        VELQ_RETURN_IF_ERROR(keep_side_file(path, foreign));
        VELQ_RETURN_IF_ERROR(restart_log(path));
      }
    }
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  Wal wal(path, fd);
  if (::fstat(fd, &st) != 0) return os_error(errno);
  if (st.st_size == 0) VELQ_RETURN_IF_ERROR(write_all(fd, header_bytes()));
  return wal;
}

Result<std::vector<WalEntry>> Wal::replay(const std::string& path,
                                          const ProdQuantizer* quantizer) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::vector<WalEntry>{};
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_file(path));
  VELQ_ASSIGN_OR_RETURN(WalImage image, decode_wal(bytes, quantizer));
  if (image.version == 0) return std::vector<WalEntry>{};  // not a log: open moves it aside

  // Later appends must follow the last accepted record directly, or the
  // next replay would stop at the damaged bytes and lose them.
  if (image.valid_end < bytes.size()) {
    if (image.stop == WalImage::Stop::kDamaged) {
      VELQ_RETURN_IF_ERROR(keep_side_file(path, std::span(bytes).subspan(image.valid_end)));
    }
    if (::truncate(path.c_str(), static_cast<off_t>(image.valid_end)) != 0) {
      return os_error(errno);
    }
  }
  // Appends always use the current framing, which an old header would make
  // replay misread; an old log without records simply starts over.
  if (image.version != wal_format::kVersion && image.entries.empty()) {
    VELQ_RETURN_IF_ERROR(restart_log(path));
  }
  return std::move(image.entries);
}

Wal::Wal(Wal&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), quantizer_(std::move(other.quantizer_)) {
  other.fd_ = -1;
}

Wal& Wal::operator=(Wal&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    quantizer_ = std::move(other.quantizer_);
    other.fd_ = -1;
  }
  return *this;
}

Wal::~Wal() {
  if (fd_ >= 0) ::close(fd_);
}

void Wal::set_quantizer(std::shared_ptr<const ProdQuantizer> quantizer) {
  quantizer_ = std::move(quantizer);
}

Status Wal::append_batch(std::span<const WalEntry> entries, bool sync) {
  if (!entries.empty()) {
    // The batch buffer is the only buffer: one write call hands the whole
    // batch to the operating system, so nothing is ever left buffered.
    std::vector<std::uint8_t> batch;
    batch.reserve(entries.size() * wal_format::kBatchBytesPerEntry);
    for (const WalEntry& e : entries) {
      if (e.is_deleted) {
        append_wal_record(batch, e, {});
        continue;
      }
      if (!quantizer_) panic("WAL append of a write entry before set_quantizer");
      append_wal_record(batch, e, quantizer_->pack_mse_indices(e.mse_indices));
    }
    // A batch that fails part-way is cut off again: a torn record left in
    // the middle of the log would hide every later append from replay, and
    // the caller treats the whole batch as not written.
    const off_t start = ::lseek(fd_, 0, SEEK_END);
    if (start < 0) return os_error(errno);
    const Status written = write_all(fd_, batch);
    if (!written.ok()) {
      (void)::ftruncate(fd_, start);
      return written;
    }
  }
  if (sync && ::fsync(fd_) != 0) return os_error(errno);
  return ok_status();
}

Status Wal::truncate() { return restart_log(path_); }

}  // namespace velq
