// Encoding and verifying segment images.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "common/utf8.h"
#include "storage/log/segment.h"

namespace velq {

namespace {

Error truncated() { return Error::corruption("segment truncated: a record extends past the end of the file"); }

bool decode_payload(std::span<const std::uint8_t> payload, SegmentRecord& out) {
  ByteReader r(payload);
  std::uint64_t id_len = 0;
  std::span<const std::uint8_t> id;
  std::uint8_t flag = 0;
  if (!r.u64(id_len) || !r.fits(id_len, 1) || !r.take(static_cast<std::size_t>(id_len), id) ||
      !r.u8(flag) || flag > 1) {
    return false;
  }
  out.id.assign(id.begin(), id.end());
  out.is_deleted = flag == 1;
  return is_valid_utf8(out.id);
}

}  // namespace

std::string segment_name(std::uint64_t seq) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(seq));
  return std::string(segment_format::kNamePrefix) + digits + segment_format::kNameSuffix;
}

std::vector<std::uint8_t> encode_segment(std::span<const SegmentRecord> records) {
  std::size_t total = segment_format::kHeaderSize;
  for (const SegmentRecord& rec : records) {
    total += segment_format::kLengthSize + segment_format::kFixedPayloadSize + rec.id.size() +
             segment_format::kCrcSize;
  }
  std::vector<std::uint8_t> out;
  out.reserve(total);
  ByteWriter w(out);
  w.u64(records.size());
  w.bytes(std::string_view(segment_format::kMagic, sizeof segment_format::kMagic));
  for (const SegmentRecord& rec : records) {
    const std::size_t start = out.size();
    w.u32(static_cast<std::uint32_t>(rec.id.size() + segment_format::kFixedPayloadSize));
    w.u64(rec.id.size());
    w.bytes(rec.id);
    w.u8(rec.is_deleted ? 1 : 0);
    w.u32(crc32(std::span(out).subspan(start)));
  }
  return out;
}

Result<std::vector<SegmentRecord>> decode_segment(std::span<const std::uint8_t> image) {
  ByteReader r(image);
  std::uint64_t count = 0;
  if (!r.u64(count)) return Error::corruption("segment truncated: shorter than its record count");
  const bool checksummed =
      image.size() >= segment_format::kHeaderSize &&
      std::memcmp(image.data() + segment_format::kCountSize, segment_format::kMagic,
                  sizeof segment_format::kMagic) == 0;
  if (checksummed) (void)r.skip(sizeof segment_format::kMagic);

  // Reserve only what the bytes present can hold: every record takes at
  // least its length field and a minimal payload.
  const std::size_t min_record = segment_format::kLengthSize + segment_format::kFixedPayloadSize +
                                 (checksummed ? segment_format::kCrcSize : 0);
  std::vector<SegmentRecord> records;
  records.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, r.remaining() / min_record)));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t start = r.position();
    std::uint32_t len = 0;
    std::span<const std::uint8_t> payload;
    if (!r.u32(len) || !r.take(len, payload)) return truncated();
    if (checksummed) {
      std::uint32_t stored = 0;
      if (!r.u32(stored)) return truncated();
      const auto framed = image.subspan(start, segment_format::kLengthSize + payload.size());
      if (crc32(framed) != stored) {
        return Error::corruption("segment CRC32 mismatch: record may be corrupted");
      }
    }
    SegmentRecord rec;
    if (!decode_payload(payload, rec)) return Error::corruption("segment record malformed");
    records.push_back(std::move(rec));
  }
  return records;
}

}  // namespace velq
