#include "common/cache_size.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace velq {

namespace {

// Sizes outside this range are a virtual machine's or a library's
// placeholder, not a cache a block could be sized to.
bool plausible(std::size_t bytes) { return bytes >= (64u << 10) && bytes <= (64u << 20); }

std::size_t from_sysfs() {
  std::FILE* file = std::fopen("/sys/devices/system/cpu/cpu0/cache/index2/size", "r");
  if (file == nullptr) return 0;
  char text[32] = {};
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  return read ? parse_cache_size(text) : 0;
}

std::size_t detect() {
#ifdef _SC_LEVEL2_CACHE_SIZE
  const long reported = sysconf(_SC_LEVEL2_CACHE_SIZE);
  if (reported > 0 && plausible(static_cast<std::size_t>(reported))) {
    return static_cast<std::size_t>(reported);
  }
#endif
  const std::size_t listed = from_sysfs();
  return plausible(listed) ? listed : kFallbackCacheBytes;
}

}  // namespace

std::size_t parse_cache_size(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || value == 0 || value > (1ull << 30)) return 0;
  std::size_t scale = 1;
  if (*end == 'K') scale = std::size_t{1} << 10, ++end;
  else if (*end == 'M') scale = std::size_t{1} << 20, ++end;
  if (*end != '\0' && *end != '\n') return 0;
  return static_cast<std::size_t>(value) * scale;
}

std::size_t private_cache_bytes() {
  static const std::size_t bytes = detect();
  return bytes;
}

}  // namespace velq
