// Reading graph.bin: the header check that loads the offsets table, and the
// on-demand decoder of one adjacency list. Nothing is decoded ahead of need
// and no decoded list is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace velq {

// Header fields and offsets table of one mapped file.
struct GraphLayout {
  std::uint32_t n_nodes = 0;
  std::uint32_t entry_point = 0;
  std::uint32_t max_level = 0;
  // File offset of the record area; 0 while no valid header is loaded.
  std::uint64_t header_len = 0;
  // n_nodes + 1 record offsets relative to the record area, as stored.
  std::vector<std::uint64_t> offsets;
  // Why the map is not the whole graph its header describes: no header,
  // shorter than its offsets table, or records running backwards or past the
  // end of the map. Empty when it is whole.
  std::string fault;

  // Loads the fields from `map`. A map without the magic or shorter than
  // its own header is no error: it reads as a graph of 0 nodes. Offsets
  // that do not fit the map only set `fault`; GraphView checks each
  // record's bounds on use, so even such a layout is safe to read.
  void parse(std::span<const std::uint8_t> map);
};

// A mapped file and its parsed layout. Non-owning; cheap to copy. Safe to
// use from many threads at once.
class GraphView {
 public:
  GraphView(std::span<const std::uint8_t> map, const GraphLayout& layout)
      : map_(map), layout_(&layout) {}

  std::uint32_t n_nodes() const { return layout_->n_nodes; }
  std::uint32_t entry_point() const { return layout_->entry_point; }
  std::uint32_t max_level() const { return layout_->max_level; }

  // Replaces `out` by node's ascending list at `level`. A level above the
  // node's own gives an empty list. Errors: "OOR" for a node outside the
  // graph, else the "corrupt graph record for node ..." family.
  Status neighbors(std::uint32_t node, std::uint32_t level, std::vector<std::uint32_t>& out) const;

  // Decodes the same list into `out` and returns its length. A list longer
  // than `out` is not decoded: its length is returned so that the caller can
  // retry with room. Same errors as neighbors().
  Result<std::size_t> decode(std::uint32_t node, std::uint32_t level,
                             std::span<std::uint32_t> out) const;

  // The level stored in node's record, or 0 when the record is unreadable
  // (bounds outside the map, shorter than 4 bytes, 0 or more than six
  // levels): such a record holds no usable list.
  std::uint32_t stored_level(std::uint32_t node) const;

 private:
  // Node's record bytes, or the corrupt-record error when the offsets table
  // puts its bounds backwards or past the end of the map.
  Result<std::span<const std::uint8_t>> record(std::uint32_t node) const;

  std::span<const std::uint8_t> map_;
  const GraphLayout* layout_;
};

}  // namespace velq
