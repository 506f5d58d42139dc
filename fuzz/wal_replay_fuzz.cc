// Log decoding on arbitrary bytes. Two images per input: the bytes as they
// are (framing, header and version checks), and the bytes cut into payloads
// that get valid lengths and checksums, so that the payload decoder and the
// index unpacking see fuzzed records too. Neither may crash; an accepted
// entry must survive being written and read again unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "storage/log/wal.h"
#include "storage/log/wal_record.h"

namespace {

// Codes of 20 coordinates at 3 bits with 3 sign bytes.
constexpr velq::CodeLengths kLengths{20, 3, 3};

// Header + one checksummed record per chunk; a chunk is one length byte and
// up to that many payload bytes.
std::vector<std::uint8_t> framed_log(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out = {'V', 'L', 'W', 'V', 5, 0, 0, 0};
  velq::ByteWriter w(out);
  for (std::size_t i = 0; i < data.size();) {
    const std::size_t len = std::min<std::size_t>(data[i], data.size() - i - 1);
    const std::size_t start = out.size();
    w.u64(len);
    w.bytes(data.subspan(i + 1, len));
    w.u32(velq::crc32(std::span(out).subspan(start)));
    i += 1 + len;
  }
  return out;
}

bool same_entry(const velq::WalEntry& a, const velq::WalEntry& b) {
  return a.id == b.id && a.packed_mse == b.packed_mse && a.qjl_bits == b.qjl_bits &&
         std::memcmp(&a.gamma, &b.gamma, sizeof a.gamma) == 0 &&
         std::memcmp(&a.norm, &b.norm, sizeof a.norm) == 0 && a.metadata_json == b.metadata_json &&
         a.is_deleted == b.is_deleted;
}

void check_reencoding(const velq::WalEntry& e) {
  std::vector<std::uint8_t> image = {'V', 'L', 'W', 'V', 5, 0, 0, 0};
  velq::append_wal_record(image, e);
  const auto again = velq::decode_wal(image, &kLengths);
  if (!again.ok() || again->entries.size() != 1 || !same_entry(again->entries[0], e)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> raw(data, size);
  const auto decoded = velq::decode_wal(raw, &kLengths);
  if (decoded.ok() && decoded->valid_end > size) std::abort();
  (void)velq::decode_wal(raw, nullptr);

  const std::vector<std::uint8_t> framed = framed_log(raw);
  const auto records = velq::decode_wal(framed, &kLengths);
  // Complete, checksummed records: a stop can only be a payload that does
  // not decode, never a torn tail.
  if (!records.ok() || records->stop == velq::WalImage::Stop::kIncomplete) std::abort();
  for (const velq::WalEntry& e : records->entries) check_reencoding(e);
  return 0;
}
