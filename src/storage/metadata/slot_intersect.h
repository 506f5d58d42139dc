// Set operations on slot lists: ascending u32 arrays without duplicates, the
// form the metadata store's indexes hand out.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velq {

// Ascending intersection of two slot lists. Walks both lists (eight slots at
// a time with AVX2) when their sizes are comparable, and gallops through the
// longer one when it is at least 32 times the shorter.
std::vector<std::uint32_t> intersect_slots(std::span<const std::uint32_t> a,
                                           std::span<const std::uint32_t> b);

}  // namespace velq
