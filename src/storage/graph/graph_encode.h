// Encoding an in-memory graph as the bytes of graph.bin.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/graph/graph_data.h"

namespace velq {

// The whole file in one buffer: header, offsets table, then per node its
// level count and, for each of its levels, the list length and the LEB128
// differences of the ascending list.
std::vector<std::uint8_t> encode_graph(const GraphData& graph);

}  // namespace velq
