// metadata.bin: every slot's metadata, rewritten whole at each flush.
// Little-endian, no checksum, no padding:
//   magic "M2S1" (4 bytes), entry count (u64),
//   then per entry: slot (u32), text length (u32), the JSON record text.
// Bytes after the last counted entry are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velq {

inline constexpr std::array<std::uint8_t, 4> kMetadataMagic = {0x4D, 0x32, 0x53, 0x31};  // "M2S1"
inline constexpr std::size_t kMetadataHeaderBytes = 12;
inline constexpr std::size_t kMetadataEntryHeaderBytes = 8;
// A flush writes "metadata.tmp" beside the file, then renames it over.
inline constexpr char kMetadataTempExtension[] = ".tmp";

}  // namespace velq
