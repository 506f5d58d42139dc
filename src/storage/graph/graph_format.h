// On-disk constants of graph.bin, the persisted proximity graph. The layout
// is described in docs/formats/graph.md; the reader and the encoder share
// these numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velq::graph_format {

inline constexpr std::string_view kMagic = "VLG3";
inline constexpr std::string_view kFileName = "graph.bin";

// magic, n_nodes, entry_point, max_level: 4 bytes each.
inline constexpr std::size_t kFixedHeaderSize = 16;
// Bytes before the record area for `n_nodes` nodes: the fixed header and the
// n_nodes + 1 u64 offsets.
inline constexpr std::uint64_t header_len(std::uint64_t n_nodes) { return 8 * n_nodes + 24; }

// Levels run from 0 to kTopLevel; a record holds at most kLevelCount lists.
inline constexpr std::uint32_t kTopLevel = 5;
inline constexpr std::uint32_t kLevelCount = kTopLevel + 1;

}  // namespace velq::graph_format
