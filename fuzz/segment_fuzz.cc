// Segment verification on arbitrary bytes. Two images per input: the bytes
// as they are, and the bytes cut into payloads framed with valid lengths and
// checksums, so that the payload decoder sees fuzzed records too. Neither may
// crash; accepted records must survive being written and read again.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "storage/log/segment.h"

namespace {

// Count + magic + one checksummed record per chunk; a chunk is one length
// byte and up to that many payload bytes.
std::vector<std::uint8_t> framed_segment(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> body;
  velq::ByteWriter w(body);
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < data.size(); ++count) {
    const std::size_t len = std::min<std::size_t>(data[i], data.size() - i - 1);
    const std::size_t start = body.size();
    w.u32(static_cast<std::uint32_t>(len));
    w.bytes(data.subspan(i + 1, len));
    w.u32(velq::crc32(std::span(body).subspan(start)));
    i += 1 + len;
  }
  std::vector<std::uint8_t> out;
  velq::ByteWriter header(out);
  header.u64(count);
  header.bytes(std::string_view("VLSG"));
  header.bytes(body);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> raw(data, size);
  const auto as_is = velq::decode_segment(raw);
  if (as_is.ok()) {
    const auto again = velq::decode_segment(velq::encode_segment(*as_is));
    if (!again.ok() || *again != *as_is) std::abort();
  }
  const auto framed = velq::decode_segment(framed_segment(raw));
  if (framed.ok()) {
    const auto again = velq::decode_segment(velq::encode_segment(*framed));
    if (!again.ok() || *again != *framed) std::abort();
  }
  return 0;
}
