#include "storage/graph/graph_encode.h"

#include <cstring>
#include <string>

#include "common/byte_io.h"
#include "common/panic.h"
#include "storage/graph/varint.h"

namespace velq {

std::vector<std::uint8_t> encode_graph(const GraphData& graph) {
  const std::size_t n = graph.size();
  if (n > UINT32_MAX) panic("graph of " + std::to_string(n) + " nodes exceeds u32 node ids");
  const std::size_t header_len = graph_format::header_len(n);

  // The offsets table is filled in once the records behind it are written.
  std::vector<std::uint8_t> out(header_len);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(n + 1);
  offsets.push_back(0);
  ByteWriter writer(out);
  for (std::size_t node = 0; node < n; ++node) {
    const std::uint32_t level = graph.levels[node];
    writer.u32(level + 1);
    for (std::uint32_t j = 0; j <= level; ++j) {
      const NodeList& list = graph.lists[j][node];
      writer.u32(static_cast<std::uint32_t>(list.size()));
      std::uint32_t previous = 0;
      for (const std::uint32_t id : list) {
        append_varint(out, id - previous);
        previous = id;
      }
    }
    offsets.push_back(out.size() - header_len);
  }

  std::memcpy(out.data(), graph_format::kMagic.data(), graph_format::kMagic.size());
  const std::uint32_t fields[3] = {static_cast<std::uint32_t>(n), graph.entry_point,
                                   graph.max_level};
  std::memcpy(out.data() + 4, fields, sizeof fields);
  std::memcpy(out.data() + graph_format::kFixedHeaderSize, offsets.data(),
              offsets.size() * sizeof(std::uint64_t));
  return out;
}

}  // namespace velq
