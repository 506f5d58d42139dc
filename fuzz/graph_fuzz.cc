// Feeds arbitrary bytes to the graph.bin reader and the search that walks
// it: neither may read outside the input or hand the scorer a node outside
// the graph.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <vector>

#include "common/slot_bitmap.h"
#include "storage/graph/graph_adjacency.h"
#include "storage/graph/graph_format.h"
#include "storage/graph/graph_reader.h"
#include "index/graph_search.h"

namespace {

void check(std::span<const std::uint8_t> map) {
  velq::GraphLayout layout;
  layout.parse(map);
  const velq::GraphView view(map, layout);

  std::vector<std::uint32_t> list;
  const std::uint32_t checked = std::min<std::uint32_t>(layout.n_nodes + 1, 64);
  for (std::uint32_t node = 0; node < checked; ++node) {
    (void)view.stored_level(node);
    for (std::uint32_t level = 0; level <= velq::graph_format::kLevelCount; ++level) {
      (void)view.neighbors(node, level, list);
    }
  }

  const velq::NodeScorer scorer = [&](std::uint32_t node) {
    if (node >= layout.n_nodes) std::abort();
    return static_cast<double>(node % 97);
  };
  const velq::GraphAdjacency adjacency(view);
  (void)velq::search_graph(adjacency, 5, 8, scorer, nullptr);
  std::vector<std::uint32_t> slots(layout.n_nodes / 2);
  const std::uint32_t allowed_slots[] = {0, 1, 2};
  const velq::SlotBitmap allowed(3, allowed_slots);
  velq::SearchFilter filter{&allowed, slots};
  (void)velq::search_graph(adjacency, 5, 8, scorer, &filter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check({data, size});
  // Also behind a valid magic, so that mutations spend their time on the
  // header fields and records rather than on finding the four bytes.
  std::vector<std::uint8_t> file(velq::graph_format::kMagic.begin(),
                                 velq::graph_format::kMagic.end());
  file.insert(file.end(), data, data + size);
  check(file);
  return 0;
}
