#include "engine/state/slot_layout.h"

#include <cstring>
#include <limits>
#include <string>

#include "common/half.h"
#include "common/panic.h"

namespace velq {

namespace {

// gamma, norm and the deleted flag after the code bytes.
constexpr std::size_t kSlotTailBytes = 9;

void require_slot_width(const SlotLayout& layout, std::size_t width) {
  if (width < layout.stride) {
    panic("slot of " + std::to_string(width) + " bytes is narrower than the stride " +
          std::to_string(layout.stride));
  }
}

void store_f32(std::uint8_t* at, float v) { std::memcpy(at, &v, sizeof v); }

float load_f32(const std::uint8_t* at) {
  float v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

}  // namespace

SlotLayout SlotLayout::of(const ProdQuantizer& quantizer) {
  SlotLayout layout;
  layout.n = quantizer.n();
  layout.mse_bits = static_cast<unsigned>(quantizer.mse_bits());
  layout.mse_bytes = quantizer.packed_mse_len();
  layout.qjl_bytes = quantizer.fast_mode() ? 0 : quantizer.qjl_len();
  layout.stride = layout.mse_bytes + layout.qjl_bytes + kSlotTailBytes;
  return layout;
}

CodeSlotView read_code_slot(const SlotLayout& layout, std::span<const std::uint8_t> slot) {
  require_slot_width(layout, slot.size());
  CodeSlotView view;
  view.packed_mse = slot.first(layout.mse_bytes);
  view.qjl_bits = slot.subspan(layout.mse_bytes, layout.qjl_bytes);
  view.gamma = load_f32(slot.data() + layout.gamma_offset());
  view.norm = load_f32(slot.data() + layout.norm_offset());
  view.deleted = slot[layout.deleted_offset()] != 0;
  return view;
}

void write_code_slot(const SlotLayout& layout, std::span<std::uint8_t> slot,
                     std::span<const std::uint8_t> packed_mse,
                     std::span<const std::uint8_t> qjl_bits, float gamma, float norm) {
  require_slot_width(layout, slot.size());
  assert_eq(packed_mse.size(), layout.mse_bytes, "packed MSE indices vs slot field");
  assert_eq(qjl_bits.size(), layout.qjl_bytes, "QJL sign bytes vs slot field");
  std::memcpy(slot.data(), packed_mse.data(), packed_mse.size());
  if (!qjl_bits.empty()) std::memcpy(slot.data() + layout.mse_bytes, qjl_bits.data(), qjl_bits.size());
  store_f32(slot.data() + layout.gamma_offset(), gamma);
  store_f32(slot.data() + layout.norm_offset(), norm);
  slot[layout.deleted_offset()] = 0;
}

void mark_slot_deleted(const SlotLayout& layout, std::span<std::uint8_t> slot) {
  require_slot_width(layout, slot.size());
  slot[layout.deleted_offset()] = 1;
}

float max_raw_value(RerankPrecision precision) {
  return precision == RerankPrecision::kF16 ? half::kMaxFinite : std::numeric_limits<float>::max();
}

void write_raw_vector(RerankPrecision precision, std::span<std::uint8_t> slot,
                      std::span<const float> values) {
  const std::size_t width = raw_value_width(precision);
  if (values.size() * width > slot.size()) {
    panic("raw vector of " + std::to_string(values.size()) + " values does not fit a slot of " +
          std::to_string(slot.size()) + " bytes");
  }
  if (precision == RerankPrecision::kF16) {
    half::active_half_kernels().narrow(values, slot.data());
  } else if (!values.empty()) {
    std::memcpy(slot.data(), values.data(), values.size() * sizeof(float));
  }
}

void read_raw_vector(RerankPrecision precision, std::span<const std::uint8_t> slot,
                     std::span<float> out) {
  const std::size_t width = raw_value_width(precision);
  if (out.size() * width > slot.size()) {
    panic("raw vector of " + std::to_string(out.size()) + " values read past a slot of " +
          std::to_string(slot.size()) + " bytes");
  }
  if (precision == RerankPrecision::kF16) {
    half::active_half_kernels().widen(slot.data(), out);
  } else if (!out.empty()) {
    std::memcpy(out.data(), slot.data(), out.size() * sizeof(float));
  }
}

}  // namespace velq
