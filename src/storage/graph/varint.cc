#include "storage/graph/varint.h"

namespace velq {

void append_varint(std::vector<std::uint8_t>& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t read_varint(std::span<const std::uint8_t> bytes, std::size_t& pos) {
  std::uint32_t value = 0;
  unsigned shift = 0;
  while (pos < bytes.size()) {
    const std::uint8_t byte = bytes[pos++];
    if (shift < 32) value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    shift += 7;
    if ((byte & 0x80) == 0) break;
  }
  return value;
}

void skip_varint(std::span<const std::uint8_t> bytes, std::size_t& pos) {
  while (pos < bytes.size()) {
    if ((bytes[pos++] & 0x80) == 0) break;
  }
}

}  // namespace velq
