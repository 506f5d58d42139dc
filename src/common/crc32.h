// CRC-32 with the IEEE 802.3 polynomial (the checksum of log and segment records).
#pragma once

#include <cstdint>
#include <span>

namespace velq {

// Continues a running checksum; start with crc = 0.
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

inline std::uint32_t crc32(std::span<const std::uint8_t> bytes) { return crc32_update(0, bytes); }

}  // namespace velq
