// Encoding and decoding of single wal.log records (layout in
// docs/formats/wal.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/log/wal_entry.h"

// On-disk constants of wal.log.
namespace velq::wal_format {

inline constexpr char kMagic[4] = {'V', 'L', 'W', 'V'};
inline constexpr std::uint32_t kVersion = 5;        // records carry a CRC-32
inline constexpr std::uint32_t kOldestVersion = 4;  // records without CRC
inline constexpr std::size_t kHeaderSize = 8;       // magic + u32 version
inline constexpr std::size_t kLengthSize = 8;       // u64 payload length before each payload
inline constexpr std::size_t kCrcSize = 4;          // u32 after each payload (version 5)

// Payload bytes besides the four variable parts: four u64 byte counts, gamma,
// norm (f32 each) and the deletion flag.
inline constexpr std::size_t kFixedPayloadSize = 4 * 8 + 4 + 4 + 1;

// Suffix of the side files that keep bytes cut from a damaged log:
// "wal.log.corrupt-0", "wal.log.corrupt-1", ...
inline constexpr const char* kCorruptSuffix = ".corrupt-";

}  // namespace velq::wal_format

namespace velq {

// Bytes of the record append_wal_record writes for `entry`.
std::size_t wal_record_size(const WalEntry& entry);

// Appends one version-5 record (length, payload, CRC-32 over both) to `out`.
void append_wal_record(std::vector<std::uint8_t>& out, const WalEntry& entry);

// Decodes a payload; nullopt when it is too short, a string is not UTF-8 or
// the deletion flag is neither 0 nor 1. Bytes after the flag are ignored.
std::optional<WalEntry> decode_wal_payload(std::span<const std::uint8_t> payload);

}  // namespace velq
