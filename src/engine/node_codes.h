// The stored codes of the nodes an index build links, copied once from
// live_codes.bin into one node-ordered table. The builder scores each node
// against thousands of others scattered over the file; a dense table on
// huge pages costs the scoring loop far fewer cache and TLB misses than the
// mapping reached through the node-to-slot list, and the copy is one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/state/engine_state.h"
#include "engine/state/slot_layout.h"
#include "quantizer/huge_page_allocator.h"

namespace velq {

class NodeCodes {
 public:
  // Node i's code is slot slots[i]; panics when live_codes.bin is unmapped.
  NodeCodes(const EngineState& state, std::span<const std::uint32_t> slots);

  std::size_t size() const { return count_; }
  // Bytes of one levels_query beyond the object itself.
  std::size_t levels_bytes() const { return quantizer_.n() * sizeof(float); }

  // Panics for a node outside the table.
  CodeSlotView at(std::uint32_t node) const;

  // Asks the processor for node's code ahead of its scoring.
  void prefetch(std::uint32_t node) const;

  // Code-to-code estimate m(a, c) + s(a, c): the MSE term with a's levels as
  // the query, plus the fraction of agreeing sign bits minus one half.
  double code_estimate(const PreparedIpQueryLite& a_levels, const CodeSlotView& a,
                       const CodeSlotView& c) const;

  // a's levels as a prepared query for code_estimate, which reads q_rot
  // only: q_proj is left empty to halve what a build keeps per node.
  PreparedIpQueryLite levels_query(const CodeSlotView& node) const;

 private:
  const ProdQuantizer& quantizer_;
  SlotLayout layout_;
  std::size_t count_;
  std::vector<std::uint8_t, HugePageAllocator<std::uint8_t>> table_;  // count_ x stride
};

}  // namespace velq
