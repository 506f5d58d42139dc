// Decoding a whole wal.log image. Every count is checked against the bytes
// that remain before anything is taken or reserved.
#include <cstring>
#include <optional>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "storage/log/wal.h"
#include "storage/log/wal_record.h"

namespace velq {

namespace {

// Whether a decoded write entry's packed indices and sign bytes have the
// code lengths (a deletion carries no code).
bool has_code_lengths(const WalEntry& e, const CodeLengths* lengths) {
  return e.is_deleted || lengths == nullptr ||
         (e.packed_mse.size() == lengths->packed_mse_bytes() && e.qjl_bits.size() == lengths->qjl_bytes);
}

Error unsupported_version(std::uint32_t version) {
  return Error::corruption("Unsupported WAL version " + std::to_string(version) + " (supported: " +
               std::to_string(wal_format::kOldestVersion) + "\xE2\x80\x93" +
               std::to_string(wal_format::kVersion) +
               "). The WAL format changed; delete wal.log to start fresh.");
}

}  // namespace

Result<WalImage> decode_wal(std::span<const std::uint8_t> image, const CodeLengths* lengths) {
  WalImage out;
  if (image.size() < wal_format::kHeaderSize ||
      std::memcmp(image.data(), wal_format::kMagic, sizeof wal_format::kMagic) != 0) {
    return out;
  }
  ByteReader r(image);
  (void)r.skip(sizeof wal_format::kMagic);
  (void)r.u32(out.version);
  if (out.version < wal_format::kOldestVersion || out.version > wal_format::kVersion) {
    return unsupported_version(out.version);
  }
  out.valid_end = r.position();

  while (!r.at_end()) {
    const std::size_t record_start = r.position();
    std::uint64_t len = 0;
    std::span<const std::uint8_t> payload;
    if (!r.u64(len) || !r.fits(len, 1)) {
      out.stop = WalImage::Stop::kIncomplete;
      break;
    }
    (void)r.take(static_cast<std::size_t>(len), payload);
    if (out.version == wal_format::kVersion) {
      std::uint32_t stored_crc = 0;
      if (!r.u32(stored_crc)) {
        out.stop = WalImage::Stop::kIncomplete;
        break;
      }
      const auto framed = image.subspan(record_start, wal_format::kLengthSize + payload.size());
      if (crc32(framed) != stored_crc) {
        out.stop = WalImage::Stop::kChecksumMismatch;
        break;
      }
    }
    std::optional<WalEntry> entry = decode_wal_payload(payload);
    if (!entry || !has_code_lengths(*entry, lengths)) {
      out.stop = WalImage::Stop::kMalformed;
      break;
    }
    // A deletion's code bytes, if any were stored, mean nothing.
    if (entry->is_deleted) entry->packed_mse.clear();
    out.entries.push_back(std::move(*entry));
    out.valid_end = r.position();
  }
  return out;
}

}  // namespace velq
