// The byte image of metadata.bin (layout in metadata_format.h).
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "storage/metadata/metadata_entry.h"

namespace velq {

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
