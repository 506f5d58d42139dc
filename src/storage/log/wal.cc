#include "storage/log/wal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/byte_io.h"
#include "common/panic.h"
#include "common/worker_pool.h"
#include "quantizer/packing.h"
#include "storage/io/file_io.h"
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

// Replaces the file at `path` by a fresh header followed by `records`,
// through a temporary file, so a crash leaves the old log or the new one.
Status rewrite_log(FileSystem& fs, const std::string& path,
                   std::span<const std::uint8_t> records = {}) {
  std::vector<std::uint8_t> image = header_bytes();
  image.insert(image.end(), records.begin(), records.end());
  return write_file_atomic(fs, path, image);
}

// Keeps `bytes` in the first free "<path>.corrupt-N" so that nothing the log
// held is thrown away by its repair.
Status keep_side_file(FileSystem& fs, const std::string& path,
                      std::span<const std::uint8_t> bytes) {
  for (unsigned n = 0;; ++n) {
    const std::string side = path + wal_format::kCorruptSuffix + std::to_string(n);
    VELQ_ASSIGN_OR_RETURN(const bool taken, path_exists(fs, side));
    if (!taken) return write_file_atomic(fs, side, bytes);
  }
}

// Entries per piece when a batch is encoded on the worker pool.
constexpr std::size_t kEncodePiece = 256;

// The records of `entries` in the current framing. A large batch is cut into
// pieces encoded side by side; each record's bytes depend on its entry alone,
// so the result is the same on any number of threads.
std::vector<std::uint8_t> encode_records(std::span<const WalEntry> entries) {
  const std::size_t pieces = (entries.size() + kEncodePiece - 1) / kEncodePiece;
  std::vector<std::vector<std::uint8_t>> encoded(pieces);
  auto encode_piece = [&](std::size_t p) {
    const std::span<const WalEntry> piece =
        entries.subspan(p * kEncodePiece, std::min(kEncodePiece, entries.size() - p * kEncodePiece));
    std::size_t bytes = 0;
    for (const WalEntry& e : piece) bytes += wal_record_size(e);
    encoded[p].reserve(bytes);
    for (const WalEntry& e : piece) append_wal_record(encoded[p], e);
  };
  // A small batch (every single write) is not worth a trip through the pool.
  if (pieces <= 1) {
    if (pieces == 1) encode_piece(0);
    return pieces == 1 ? std::move(encoded[0]) : std::vector<std::uint8_t>();
  }
  parallel_for_each(pieces, 1, encode_piece);
  std::size_t total = 0;
  for (const std::vector<std::uint8_t>& part : encoded) total += part.size();
  std::vector<std::uint8_t> out;
  out.reserve(total);
  for (const std::vector<std::uint8_t>& part : encoded) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool has_magic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof wal_format::kMagic &&
         std::memcmp(bytes.data(), wal_format::kMagic, sizeof wal_format::kMagic) == 0;
}

}  // namespace

std::size_t CodeLengths::packed_mse_bytes() const { return packing::packed_len(n, mse_bits); }

Result<OpenedWal> Wal::open(std::shared_ptr<FileSystem> fs, std::string path,
                            CodeLengths lengths) {
  std::vector<WalEntry> entries;
  std::uint64_t set_aside = 0;
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> existing,
                        read_file_if_present(*fs, path));
  if (existing.has_value() && existing->size() < wal_format::kHeaderSize) {
    // Empty, or a header torn by a crash: nothing after it can exist.
    if (!existing->empty()) VELQ_RETURN_IF_ERROR(rewrite_log(*fs, path));
  } else if (existing.has_value() && !has_magic(*existing)) {
    // Not a log of ours: appending to it would hide every later record from
    // replay. Keep it aside and start over.
    VELQ_RETURN_IF_ERROR(keep_side_file(*fs, path, *existing));
    VELQ_RETURN_IF_ERROR(rewrite_log(*fs, path));
    set_aside = existing->size();
  } else if (existing.has_value()) {
    const std::vector<std::uint8_t>& bytes = *existing;
    VELQ_ASSIGN_OR_RETURN(WalImage image, decode_wal(bytes, &lengths));
    if (image.stop == WalImage::Stop::kChecksumMismatch) {
      std::fprintf(stderr, "WAL CRC32 mismatch at entry %zu; truncating replay here.\n",
                   image.entries.size());
    }
    // Later appends must follow the last accepted record directly, or the
    // next replay would stop at the unreadable bytes and lose them. Whatever
    // stopped the replay, the bytes cut off are kept: a damaged length looks
    // just like a torn tail.
    const std::span<const std::uint8_t> rest = std::span(bytes).subspan(image.valid_end);
    if (!rest.empty()) {
      VELQ_RETURN_IF_ERROR(keep_side_file(*fs, path, rest));
      set_aside = rest.size();
    }
    if (image.version != wal_format::kVersion) {
      // Appends use the current framing, which an old header would make
      // replay misread: the accepted records move to a current log.
      VELQ_RETURN_IF_ERROR(rewrite_log(*fs, path, encode_records(image.entries)));
    } else if (!rest.empty()) {
      VELQ_ASSIGN_OR_RETURN(const std::unique_ptr<File> cut, fs->open(path, OpenMode::kReadWrite));
      VELQ_RETURN_IF_ERROR(cut->truncate(image.valid_end));
      VELQ_RETURN_IF_ERROR(cut->close());
    }
    entries = std::move(image.entries);
  }

  VELQ_ASSIGN_OR_RETURN(std::unique_ptr<File> file, fs->open(path, OpenMode::kAppend));
  VELQ_ASSIGN_OR_RETURN(const std::uint64_t size, file->size());
  // The header is written in one call, so a crash leaves none or all of it.
  if (size == 0) VELQ_RETURN_IF_ERROR(file->append(header_bytes()));
  return OpenedWal{Wal(std::move(path), lengths, std::move(file),
                       size == 0 ? wal_format::kHeaderSize : size),
                   std::move(entries), set_aside};
}

Status Wal::append_batch(std::span<const WalEntry> entries, bool sync) {
  if (!entries.empty()) {
    for (const WalEntry& e : entries) {
      if (!e.is_deleted && e.packed_mse.size() != lengths_.packed_mse_bytes()) {
        panic("WAL append of a write entry with " + std::to_string(e.packed_mse.size()) +
              " packed index bytes; codes hold " + std::to_string(lengths_.packed_mse_bytes()));
      }
    }
    // The batch buffer is the only buffer: one write call hands the whole
    // batch to the operating system, so nothing is ever left buffered.
    const std::vector<std::uint8_t> batch = encode_records(entries);
    if (!end_) {
      VELQ_ASSIGN_OR_RETURN(const std::uint64_t size, file_->size());
      end_ = size;
    }
    const std::uint64_t start = *end_;
    const Status written = file_->append(batch);
    if (written.ok()) {
      *end_ += batch.size();
    } else {
      // A batch that fails part-way is cut off again: a torn record left in
      // the middle of the log would hide every later append from replay, and
      // whole records of it would come back at the next open.
      const Status cut = file_->truncate(start);
      if (!cut.ok()) {
        end_.reset();
        return Error("WAL append failed (" + written.error().message() +
                         ") and the partial batch could not be cut off (" + cut.error().message() +
                         "); it may be replayed at the next open",
                     ErrorKind::kUnsynced);
      }
      return written;
    }
  }
  if (sync) {
    const Status synced = file_->sync();
    if (!synced.ok()) {
      return Error("WAL sync failed (" + synced.error().message() +
                       "); the batch was written and may be replayed at the next open",
                   ErrorKind::kUnsynced);
    }
  }
  return ok_status();
}

Status Wal::truncate() {
  // The append handle stays open: its writes land at the new end.
  end_.reset();
  VELQ_RETURN_IF_ERROR(file_->truncate(0));
  VELQ_RETURN_IF_ERROR(file_->append(header_bytes()));
  end_ = wal_format::kHeaderSize;
  return ok_status();
}

}  // namespace velq
