// Encoding and decoding of single wal.log records (layout in
// docs/formats/wal.md).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/log/wal_entry.h"

namespace velq {

// Bytes of the record append_wal_record writes for `entry`.
std::size_t wal_record_size(const WalEntry& entry);

// Appends one version-5 record (length, payload, CRC-32 over both) to `out`.
void append_wal_record(std::vector<std::uint8_t>& out, const WalEntry& entry);

// Decodes a payload; nullopt when it is too short, a string is not UTF-8 or
// the deletion flag is neither 0 nor 1. Bytes after the flag are ignored.
std::optional<WalEntry> decode_wal_payload(std::span<const std::uint8_t> payload);

}  // namespace velq
