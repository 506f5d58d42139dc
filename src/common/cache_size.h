// The size of the cache private to the core a loop runs on (its L2 on
// current x86 and Arm server parts), read once at run time, so that blocked
// products can size their blocks of rows to the processor they run on
// rather than to the one they were written on.
#pragma once

#include <cstddef>

namespace velq {

// Bytes of the cache level below L1 of cpu 0, from the C library's report,
// else from sysfs; kFallbackCacheBytes when neither gives a plausible size.
std::size_t private_cache_bytes();

// What a core of most processors of the last decade has at least.
inline constexpr std::size_t kFallbackCacheBytes = std::size_t{1} << 20;

// The parse of a sysfs cache size ("2048K", "1M", "512"), 0 when the text is
// none of these; exposed for tests.
std::size_t parse_cache_size(const char* text);

}  // namespace velq
