// Decodes hostile bytes as live_ids.bin. Inputs whose first byte is even are
// decoded as they are; the others are read as a list of ids, built into a
// valid image and then damaged (cut short and bits flipped at places the
// input picks), which reaches far deeper into the decoder than random bytes.
// A decoded pool must survive every operation, and its image must decode
// again to the same image.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/slots/id_pool.h"
#include "storage/slots/id_pool_format.h"

namespace {

void exercise(std::span<const std::uint8_t> bytes) {
  velq::Result<velq::IdPool> pool = velq::IdPool::read_bincode(bytes);
  if (!pool.ok()) return;
  for (const auto& [id, slot] : pool->iter_active()) static_cast<void>(pool->get_slot(id));
  const std::vector<std::uint8_t> image = pool->serialize();
  velq::Result<velq::IdPool> again = velq::IdPool::read_bincode(image);
  if (!again.ok() || again->serialize() != image) __builtin_trap();
  for (const std::string id : {"", "a", "\xc3\xa9"}) {
    static_cast<void>(again->delete_by_id(id));
    if (!again->insert(id).ok()) __builtin_trap();
  }
}

// A valid image of the newline-separated ids in `text`; ids starting with
// an odd byte are deleted again.
std::vector<std::uint8_t> image_of(std::string_view text) {
  velq::IdPool pool;
  std::vector<std::string_view> deleted;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view id = text.substr(start, end - start);
    if (pool.insert(id).ok() && !id.empty() && (id[0] & 1)) deleted.push_back(id);
    start = end + 1;
  }
  for (std::string_view id : deleted) static_cast<void>(pool.delete_by_id(id));
  return pool.serialize();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || (data[0] & 1) == 0) {
    exercise(std::span(data, size));
    return 0;
  }
  std::vector<std::uint8_t> image =
      image_of(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const std::uint64_t h = velq::id_pool_format::fnv1a64(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (data[0] & 2) image.resize(h % (image.size() + 1));
  if (data[0] & 4 && !image.empty()) image[(h >> 20) % image.size()] ^= 1u << ((h >> 8) % 8);
  if (data[0] & 8 && !image.empty()) image[(h >> 40) % image.size()] ^= 0xFF;
  exercise(image);
  return 0;
}
