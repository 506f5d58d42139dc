// Decodes arbitrary bytes as live_ids.bin. A decoded pool must survive every
// operation, and its image must decode again to the same image.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "storage/id_pool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velq::Result<velq::IdPool> pool = velq::IdPool::read_bincode(std::span(data, size));
  if (!pool.ok()) return 0;
  for (const auto& [id, slot] : pool->iter_active()) static_cast<void>(pool->get_slot(id));
  const std::vector<std::uint8_t> image = pool->serialize();
  velq::Result<velq::IdPool> again = velq::IdPool::read_bincode(image);
  if (!again.ok() || again->serialize() != image) __builtin_trap();
  for (const std::string id : {"", "a", "\xc3\xa9"}) {
    static_cast<void>(again->delete_by_id(id));
    if (!again->insert(id).ok()) __builtin_trap();
  }
  return 0;
}
