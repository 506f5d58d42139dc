// Unsigned LEB128: seven value bits per byte, least significant group first,
// bit 7 set on every byte but the last. Graph adjacency lists store the
// differences between consecutive ids this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velq {

// Appends the one to five bytes of `value`.
inline void append_varint(std::vector<std::uint8_t>& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

// Decodes the varint at `pos` (which must be below bytes.size()) and moves
// `pos` past it. A varint still open at the end of `bytes` ends there; value
// bits beyond the 32nd are dropped. Inline: a search decodes every list it
// expands through it.
inline std::uint32_t read_varint(std::span<const std::uint8_t> bytes, std::size_t& pos) {
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

// Moves `pos` past the varint there, with the same end rule as read_varint.
inline void skip_varint(std::span<const std::uint8_t> bytes, std::size_t& pos) {
  while (pos < bytes.size()) {
    if ((bytes[pos++] & 0x80) == 0) break;
  }
}

}  // namespace velq
