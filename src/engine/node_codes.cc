#include "engine/node_codes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "index/sign_agreement.h"

namespace velq {

namespace {

constexpr std::size_t kCacheLine = 64;

double sign_agreement(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.empty()) return 0.0;
  const double bits = 8.0 * static_cast<double>(a.size());
  return (bits - static_cast<double>(differing_bits(a, b))) / bits - 0.5;
}

}  // namespace

NodeCodes::NodeCodes(const EngineState& state, std::span<const std::uint32_t> slots)
    : quantizer_(*state.quantizer),
      layout_(state.slots.layout()),
      count_(slots.size()),
      table_(slots.size() * state.slots.layout().stride) {
  const std::size_t stride = layout_.stride;
  parallel_for(slots.size(), 1024, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::span<const std::uint8_t> slot = state.slots.codes().slot(slots[i]);
      assert_eq(slot.size(), stride, "code slot width");
      std::memcpy(table_.data() + i * stride, slot.data(), stride);
    }
  });
}

CodeSlotView NodeCodes::at(std::uint32_t node) const {
  if (node >= count_) panic("node " + std::to_string(node) + " has no slot");
  const std::size_t stride = layout_.stride;
  return read_code_slot(layout_, std::span(table_.data() + std::size_t{node} * stride, stride));
}

void NodeCodes::prefetch(std::uint32_t node) const {
  if (node >= count_) return;
  const std::size_t stride = layout_.stride;
  const std::uint8_t* row = table_.data() + std::size_t{node} * stride;
  for (std::size_t at = 0; at < stride; at += kCacheLine) __builtin_prefetch(row + at);
  __builtin_prefetch(row + stride - 1);
}

double NodeCodes::code_estimate(const PreparedIpQueryLite& a_levels, const CodeSlotView& a,
                                const CodeSlotView& c) const {
  const double m = quantizer_.score_ip_packed_lite(a_levels, c.packed_mse, {}, 0.0);
  return m + sign_agreement(a.qjl_bits, c.qjl_bits);
}

PreparedIpQueryLite NodeCodes::levels_query(const CodeSlotView& node) const {
  std::vector<std::uint16_t> indices(quantizer_.n());
  quantizer_.unpack_mse_indices(node.packed_mse, indices);
  PreparedIpQueryLite levels = quantizer_.prepare_ip_query_from_codes(indices);
  // All zeros, and never read: the estimate scores no sign term with it.
  // Assigning an empty list would keep the storage; a new vector frees it.
  levels.q_proj = std::vector<float>();
  return levels;
}

}  // namespace velq
