// One slot's metadata as the store keeps it and metadata.bin lists it.
#pragma once

#include <cstdint>

#include "storage/metadata/vector_metadata.h"

namespace velq {

struct MetadataEntry {
  std::uint32_t slot = 0;
  VectorMetadata metadata;
};

}  // namespace velq
