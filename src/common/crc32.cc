#include "common/crc32.h"

#include <libdeflate.h>

namespace velq {

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

}  // namespace velq
