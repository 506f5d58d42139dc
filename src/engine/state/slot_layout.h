// What a slot of live_codes.bin and live_vectors.bin holds, byte by byte.
//
// live_codes.bin slot (stride = M + Q + 9 bytes):
//   [0, M)          the n MSE indices, packed LSB first at mse_bits each
//   [M, M+Q)        the QJL sign bytes (Q = 0 in fast mode)
//   [M+Q, M+Q+4)    gamma, f32 little-endian
//   [M+Q+4, M+Q+8)  the stored norm, f32 little-endian
//   M+Q+8           deleted flag: 0 live, 1 deleted (the slot's last byte)
// live_vectors.bin slot: d values at 4 bytes (f32) or 2 bytes (f16, rounded
// to nearest even, overflow to infinity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/state/engine_types.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

struct SlotLayout {
  std::size_t n = 0;         // MSE indices per code
  unsigned mse_bits = 0;     // bits per index
  std::size_t mse_bytes = 0;  // M
  std::size_t qjl_bytes = 0;  // Q
  std::size_t stride = 0;     // M + Q + 9

  static SlotLayout of(const ProdQuantizer& quantizer);

  std::size_t gamma_offset() const { return mse_bytes + qjl_bytes; }
  std::size_t norm_offset() const { return mse_bytes + qjl_bytes + 4; }
  std::size_t deleted_offset() const { return stride - 1; }
};

// A code slot seen in place.
struct CodeSlotView {
  std::span<const std::uint8_t> packed_mse;  // M bytes
  std::span<const std::uint8_t> qjl_bits;    // Q bytes
  float gamma = 0.0f;
  float norm = 0.0f;
  bool deleted = false;
};

CodeSlotView read_code_slot(const SlotLayout& layout, std::span<const std::uint8_t> slot);
// Writes every field and clears the deleted flag. Panics when a length does
// not match the layout.
void write_code_slot(const SlotLayout& layout, std::span<std::uint8_t> slot,
                     std::span<const std::uint8_t> packed_mse,
                     std::span<const std::uint8_t> qjl_bits, float gamma, float norm);
void mark_slot_deleted(const SlotLayout& layout, std::span<std::uint8_t> slot);

// Bytes per raw value: 2 for kF16, else 4.
inline std::size_t raw_value_width(RerankPrecision precision) {
  return precision == RerankPrecision::kF16 ? 2 : 4;
}
// The largest finite value a raw slot of the precision holds.
float max_raw_value(RerankPrecision precision);
// Stores `values` at the precision's width; panics when they do not fit.
void write_raw_vector(RerankPrecision precision, std::span<std::uint8_t> slot,
                      std::span<const float> values);
// Widens a stored raw vector to f32 (out.size() values).
void read_raw_vector(RerankPrecision precision, std::span<const std::uint8_t> slot,
                     std::span<float> out);

}  // namespace velq
