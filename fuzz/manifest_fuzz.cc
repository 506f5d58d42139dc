// manifest.json and the slot lists (graph_ids.json, delta_ids.json) on
// arbitrary bytes: each decodes or is refused, never crashes; whatever
// decodes is written and read back to the same value.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "engine/state/manifest.h"

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> raw(data, size);
  if (const auto manifest = velq::Manifest::parse(raw); manifest.ok()) {
    const auto again = velq::Manifest::parse(bytes_of(manifest->to_json()));
    if (!again.ok() || !(*again == *manifest)) std::abort();
  }
  if (const auto ids = velq::parse_index_ids(raw); ids.ok()) {
    const auto again = velq::parse_index_ids(bytes_of(velq::serialize_index_ids(*ids)));
    if (!again.ok() || *again != *ids) std::abort();
  }
  return 0;
}
