// Slot byte layout: field offsets for each quantizer shape, and what the
// read, write and flag helpers put where.
#include "engine/state/slot_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "common/panic.h"

namespace velq {
namespace {

TEST(SlotLayout, WidthsAndOffsetsForEachQuantizerShape) {
  // Rotated mode pads 100 to 128 coordinates at 3 MSE bits.
  const SlotLayout srht = SlotLayout::of(ProdQuantizer::new_srht(100, 4, 1));
  EXPECT_EQ(srht.mse_bytes, 48u);
  EXPECT_EQ(srht.qjl_bytes, 16u);
  EXPECT_EQ(srht.stride, 73u);
  EXPECT_EQ(srht.gamma_offset(), 64u);
  EXPECT_EQ(srht.norm_offset(), 68u);
  EXPECT_EQ(srht.deleted_offset(), 72u);

  const SlotLayout fast = SlotLayout::of(ProdQuantizer::new_srht_fast(128, 4, 1));
  EXPECT_EQ(fast.mse_bytes, 64u);
  EXPECT_EQ(fast.qjl_bytes, 0u);
  EXPECT_EQ(fast.stride, 73u);
  EXPECT_EQ(fast.gamma_offset(), 64u);

  // 10 indices of 3 bits do not fill whole bytes.
  const SlotLayout odd = SlotLayout::of(ProdQuantizer::new_dense(10, 4, 1));
  EXPECT_EQ(odd.mse_bytes, 4u);
  EXPECT_EQ(odd.qjl_bytes, 2u);
  EXPECT_EQ(odd.stride, 15u);
}

TEST(SlotLayout, WriteReadAndFlag) {
  const SlotLayout layout = SlotLayout::of(ProdQuantizer::new_dense(10, 4, 1));
  std::vector<std::uint8_t> slot(layout.stride, 0xAA);
  const std::vector<std::uint8_t> packed = {1, 2, 3, 4};
  const std::vector<std::uint8_t> signs = {0x5A, 0xC3};
  write_code_slot(layout, slot, packed, signs, 0.25f, -3.5f);
  EXPECT_EQ(slot[layout.deleted_offset()], 0);
  float gamma;
  std::memcpy(&gamma, slot.data() + 6, 4);
  EXPECT_EQ(gamma, 0.25f);
  CodeSlotView view = read_code_slot(layout, slot);
  EXPECT_TRUE(std::equal(view.packed_mse.begin(), view.packed_mse.end(), packed.begin()));
  EXPECT_TRUE(std::equal(view.qjl_bits.begin(), view.qjl_bits.end(), signs.begin()));
  EXPECT_EQ(view.norm, -3.5f);
  EXPECT_FALSE(view.deleted);
  mark_slot_deleted(layout, slot);
  EXPECT_EQ(slot[14], 1);
  EXPECT_TRUE(read_code_slot(layout, slot).deleted);
  // Rewriting clears the flag.
  write_code_slot(layout, slot, packed, signs, 0.25f, -3.5f);
  EXPECT_FALSE(read_code_slot(layout, slot).deleted);
}

TEST(SlotLayout, LengthMismatchesPanic) {
  const SlotLayout layout = SlotLayout::of(ProdQuantizer::new_dense(10, 4, 1));
  std::vector<std::uint8_t> slot(layout.stride);
  const std::vector<std::uint8_t> three(3), two(2), four(4);
  EXPECT_THROW(write_code_slot(layout, slot, three, two, 0, 0), Panic);
  EXPECT_THROW(write_code_slot(layout, slot, four, three, 0, 0), Panic);
  std::vector<std::uint8_t> narrow(layout.stride - 1);
  EXPECT_THROW(read_code_slot(layout, narrow), Panic);
  const std::vector<float> values(5);
  std::vector<std::uint8_t> raw(9);
  EXPECT_THROW(write_raw_vector(RerankPrecision::kF16, raw, values), Panic);
}

TEST(SlotLayout, RawVectorsAtBothWidths) {
  const std::vector<float> values = {1.0f, 65520.0f, -0.5f, 3.14159f};
  std::vector<std::uint8_t> half_slot(8);
  write_raw_vector(RerankPrecision::kF16, half_slot, values);
  EXPECT_EQ(half_slot[0], 0x00);
  EXPECT_EQ(half_slot[1], 0x3C);
  EXPECT_EQ(half_slot[2], 0x00);  // 65520 overflows to infinity
  EXPECT_EQ(half_slot[3], 0x7C);
  std::vector<float> back(4);
  read_raw_vector(RerankPrecision::kF16, half_slot, back);
  EXPECT_EQ(back[0], 1.0f);
  EXPECT_EQ(back[1], std::numeric_limits<float>::infinity());
  EXPECT_EQ(back[2], -0.5f);
  EXPECT_NEAR(back[3], 3.14159f, 2e-3f);

  std::vector<std::uint8_t> full_slot(16);
  write_raw_vector(RerankPrecision::kF32, full_slot, values);
  read_raw_vector(RerankPrecision::kF32, full_slot, back);
  EXPECT_EQ(back, values);
}

}  // namespace
}  // namespace velq
