// On-disk constants of seg-*.bin (see docs/formats/segment.md).
#pragma once

#include <cstddef>

namespace velq::segment_format {

inline constexpr char kMagic[4] = {'V', 'L', 'S', 'G'};
inline constexpr std::size_t kCountSize = 8;                   // u64 record count at offset 0
inline constexpr std::size_t kHeaderSize = kCountSize + 4;     // count + magic
inline constexpr std::size_t kLengthSize = 4;                  // u32 payload length per record
inline constexpr std::size_t kCrcSize = 4;                     // u32 after each payload
inline constexpr std::size_t kFixedPayloadSize = 8 + 1;        // u64 id length + deletion flag

inline constexpr const char* kNamePrefix = "seg-";
inline constexpr const char* kNameSuffix = ".bin";

}  // namespace velq::segment_format
