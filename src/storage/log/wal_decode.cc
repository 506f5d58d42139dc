// Decoding a whole wal.log image. Every count is checked against the bytes
// that remain before anything is taken or reserved.
#include <cstring>
#include <optional>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "quantizer/packing.h"
#include "storage/log/wal.h"
#include "storage/log/wal_record.h"

namespace velq {

namespace {

// The entry a decoded payload stands for, or nullopt when its packed
// indices or sign bytes do not have the code lengths.
std::optional<WalEntry> unpack_entry(WalEntryPacked&& p, const CodeLengths* lengths) {
  WalEntry e;
  e.id = std::move(p.id);
  e.qjl_bits = std::move(p.qjl_bits);
  e.gamma = p.gamma;
  e.norm = p.norm;
  e.metadata_json = std::move(p.metadata_json);
  e.is_deleted = p.is_deleted;
  if (!e.is_deleted && lengths != nullptr) {
    if (p.packed_mse.size() != lengths->packed_mse_bytes() ||
        e.qjl_bits.size() != lengths->qjl_bytes) {
      return std::nullopt;
    }
    e.mse_indices.assign(lengths->n, 0);
    packing::unpack(p.packed_mse, e.mse_indices, lengths->n, lengths->mse_bits);
  }
  return e;
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
    std::optional<WalEntryPacked> packed = decode_wal_payload(payload);
    std::optional<WalEntry> entry =
        packed ? unpack_entry(std::move(*packed), lengths) : std::nullopt;
    if (!entry) {
      out.stop = WalImage::Stop::kMalformed;
      break;
    }
    out.entries.push_back(std::move(*entry));
    out.valid_end = r.position();
  }
  return out;
}

}  // namespace velq
