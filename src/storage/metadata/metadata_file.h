// metadata.bin: every slot's metadata, rewritten whole at each flush.
// Little-endian, no checksum, no padding:
//   magic "M2S1" (4 bytes), entry count (u64),
//   then per entry: slot (u32), text length (u32), the JSON record text.
// Bytes after the last counted entry are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "storage/metadata/metadata_entry.h"

namespace velq {

inline constexpr std::array<std::uint8_t, 4> kMetadataMagic = {0x4D, 0x32, 0x53, 0x31};  // "M2S1"
inline constexpr std::size_t kMetadataHeaderBytes = 12;
inline constexpr std::size_t kMetadataEntryHeaderBytes = 8;
// A flush writes "metadata.tmp" beside the file, then renames it over.
inline constexpr char kMetadataTempExtension[] = ".tmp";

// The entries in file order (a slot may repeat). Treats the bytes as
// hostile: a short file, a cut entry or a count beyond the bytes present
// fails with "failed to fill whole buffer", a wrong magic with a message
// naming `path`, a bad record with the JSON reader's error.
Result<std::vector<MetadataEntry>> decode_metadata_file(std::span<const std::uint8_t> bytes,
                                                        std::string_view path);

// Refuses (instead of truncating) a record whose text is longer than
// `max_record_bytes`, the reach of the 32-bit length field.
Result<std::vector<std::uint8_t>> encode_metadata_file(
    std::span<const MetadataEntry> entries,
    std::uint64_t max_record_bytes = std::numeric_limits<std::uint32_t>::max());

}  // namespace velq
