#include "storage/log/wal_record.h"

#include <algorithm>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "common/utf8.h"

namespace velq {

namespace {

bool read_counted(ByteReader& r, std::span<const std::uint8_t>& out) {
  std::uint64_t n = 0;
  return r.u64(n) && r.fits(n, 1) && r.take(static_cast<std::size_t>(n), out);
}

bool read_utf8(ByteReader& r, std::string& out) {
  std::span<const std::uint8_t> b;
  if (!read_counted(r, b)) return false;
  out.assign(b.begin(), b.end());
  return is_valid_utf8(out);
}

bool read_bytes(ByteReader& r, std::vector<std::uint8_t>& out) {
  std::span<const std::uint8_t> b;
  if (!read_counted(r, b)) return false;
  out.assign(b.begin(), b.end());
  return true;
}

}  // namespace

namespace {

std::size_t payload_size(const WalEntry& entry) {
  return entry.id.size() + entry.packed_mse.size() + entry.qjl_bits.size() + entry.metadata_json.size() +
         wal_format::kFixedPayloadSize;
}

}  // namespace

std::size_t wal_record_size(const WalEntry& entry) {
  return wal_format::kLengthSize + payload_size(entry) + wal_format::kCrcSize;
}

void append_wal_record(std::vector<std::uint8_t>& out, const WalEntry& entry) {
  const std::uint64_t payload_len = payload_size(entry);
  const std::size_t start = out.size();
  ByteWriter w(out);
  w.u64(payload_len);
  w.u64(entry.id.size());
  w.bytes(entry.id);
  w.u64(entry.packed_mse.size());
  w.bytes(entry.packed_mse);
  w.u64(entry.qjl_bits.size());
  w.bytes(entry.qjl_bits);
  w.f32(entry.gamma);
  w.f32(entry.norm);
  w.u64(entry.metadata_json.size());
  w.bytes(entry.metadata_json);
  w.u8(entry.is_deleted ? 1 : 0);
  w.u32(crc32(std::span(out).subspan(start)));
}

std::optional<WalEntry> decode_wal_payload(std::span<const std::uint8_t> payload) {
  ByteReader r(payload);
  WalEntry e;
  std::uint8_t flag = 0;
  if (!read_utf8(r, e.id) || !read_bytes(r, e.packed_mse) || !read_bytes(r, e.qjl_bits) ||
      !r.f32(e.gamma) || !r.f32(e.norm) || !read_utf8(r, e.metadata_json) || !r.u8(flag) ||
      flag > 1) {
    return std::nullopt;
  }
  e.is_deleted = flag == 1;
  return e;
}

}  // namespace velq
