// The lists of a mapped graph decoded once into memory, laid out for the
// walk: a node's level-0 list is one fixed-width row of u32 values (its
// length, then its ids), so expanding a node touches one run of adjacent
// cache lines instead of an offsets table, a varint record and a decode.
// Upper levels hold few nodes and are walked briefly: they are kept as one
// compact list per node that has them.
//
// The lists are those GraphView decodes, in stored order, without the ids
// that lie outside the graph (no walk can use them); a list that does not
// decode is empty. Immutable once built; safe to read from many threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "storage/graph/graph_format.h"
#include "storage/graph/graph_reader.h"

namespace velq {

class GraphAdjacency {
 public:
  // An empty graph of 0 nodes.
  GraphAdjacency() = default;
  // Decodes every list of `view` (any bytes: a damaged record only empties
  // its lists).
  explicit GraphAdjacency(const GraphView& view);

  std::uint32_t n_nodes() const { return n_nodes_; }
  std::uint32_t entry_point() const { return entry_point_; }
  std::uint32_t max_level() const { return max_level_; }

  // node's list at `level`, every id below n_nodes(); empty for a level the
  // node does not reach. REQUIRES: node < n_nodes().
  std::span<const std::uint32_t> list(std::uint32_t node, std::uint32_t level) const {
    if (level == 0) {
      const std::uint32_t* row = rows_.data() + std::size_t{node} * width_;
      if (row[0] < width_) return {row + 1, row[0]};
      return spilled(row);
    }
    return upper_list(node, level);
  }

  // Asks the processor for node's level-0 row ahead of its expansion.
  void prefetch(std::uint32_t node) const {
    const char* row = reinterpret_cast<const char*>(rows_.data() + std::size_t{node} * width_);
    for (std::size_t at = 0; at < 4 * width_; at += 64) __builtin_prefetch(row + at);
  }

  // Bytes held in memory.
  std::size_t memory_bytes() const;

 private:
  // A level-0 list longer than a row: row[0] is its length, row[1] and
  // row[2] the low and high halves of its start in spill_.
  std::span<const std::uint32_t> spilled(const std::uint32_t* row) const {
    return {spill_.data() + (std::uint64_t{row[2]} << 32 | row[1]), row[0]};
  }
  std::span<const std::uint32_t> upper_list(std::uint32_t node, std::uint32_t level) const;

  static constexpr std::uint32_t kNoUpper = 0xFFFFFFFFu;

  std::uint32_t n_nodes_ = 0;
  std::uint32_t entry_point_ = 0;
  std::uint32_t max_level_ = 0;
  // u32 values per level-0 row (at least 3): the length and up to
  // width_ - 1 ids. Lists
  // that do not fit (only a damaged file or an unusually skewed graph has
  // them) keep their ids in spill_ instead, so one odd list cannot make
  // every row as wide as itself.
  std::size_t width_ = 3;
  std::vector<std::uint32_t> rows_;
  std::vector<std::uint32_t> spill_;
  // Per node, the index of its upper lists among the nodes above level 0,
  // or kNoUpper. Per upper level, the lists of those nodes one after
  // another, found through begins (one more entry than such nodes).
  std::vector<std::uint32_t> upper_index_;
  struct Level {
    std::vector<std::uint64_t> begins;
    std::vector<std::uint32_t> ids;
  };
  std::array<Level, graph_format::kTopLevel> upper_;
};

}  // namespace velq
