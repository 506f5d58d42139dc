// live_ids.bin: the id pool's persisted image (docs/formats/live_ids.md).
// No magic, version or checksum; every vector is a u64 element count
// followed by its little-endian elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velq::id_pool_format {

// The stored per-slot hash: FNV-1a 64 over the id's bytes.
inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

inline std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t h = kFnvOffsetBasis;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= kFnvPrime;
  }
  return h;
}

// Ids are at most this many bytes (the width of the stored lengths).
inline constexpr std::size_t kMaxIdBytes = 65535;
// New ids are accepted while the arena holds at most this many bytes, so
// every stored offset fits in 32 bits.
inline constexpr std::uint64_t kMaxArenaBytesBeforeInsert = 0xFFFFFFFFull;

inline constexpr std::size_t kCountBytes = 8;
inline constexpr std::size_t kOffsetBytes = 4;
inline constexpr std::size_t kLenBytes = 2;
inline constexpr std::size_t kHashBytes = 8;
inline constexpr std::size_t kAliveBytes = 1;
inline constexpr std::size_t kLookupSlotBytes = 4;
// A lookup entry before its slots: the hash and the slot count.
inline constexpr std::size_t kLookupEntryHeadBytes = 16;

}  // namespace velq::id_pool_format
