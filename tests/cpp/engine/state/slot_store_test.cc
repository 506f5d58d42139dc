// The slot store: the copies the scan reads (blocked codes, reconstruction
// norms) stay equal to copies built afresh from the code file through
// batches, single writes, rewrites, deletions and a compaction, and a slot
// named twice in one write keeps its last code.
#include "engine/state/slot_store.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/deletes.h"
#include "engine/engine_test_util.h"
#include "engine/persist.h"
#include "quantizer/packing.h"

namespace velq {
namespace {

constexpr std::size_t kD = 24;

std::vector<BatchWriteItem> rows(std::size_t first, std::size_t count, double scale) {
  std::vector<BatchWriteItem> out;
  for (std::size_t i = first; i < first + count; ++i) {
    const std::vector<double> v = testing::scaled_vector(kD, static_cast<unsigned>(i), scale);
    out.push_back({std::to_string(i), std::vector<float>(v.begin(), v.end()), {}, std::nullopt});
  }
  return out;
}

// The store's copies against copies built from its code file now.
void expect_fresh_copies(const EngineState& s) {
  const SlotStore& store = s.slots;
  const std::size_t count = store.ids().slot_count();
  const std::span<const std::uint8_t> bytes =
      count > 0 ? store.codes().mapped_bytes() : std::span<const std::uint8_t>();
  ASSERT_TRUE(store.blocked().has_value());
  const std::size_t stride = store.layout().stride;
  const BlockedCodes blocked = BlockedCodes::build(*s.quantizer, bytes, stride, count);
  ASSERT_EQ(store.blocked()->size(), count);
  ASSERT_EQ(store.blocked()->memory_bytes(), blocked.memory_bytes());
  EXPECT_EQ(0, std::memcmp(store.blocked()->block(0), blocked.block(0), blocked.memory_bytes()));
  ASSERT_TRUE(store.norms().has_value());
  const ReconstructionNorms norms =
      ReconstructionNorms::build(*s.quantizer, bytes, stride, count);
  ASSERT_GE(store.norms()->size(), count);
  for (std::size_t slot = 0; slot < count; ++slot) {
    ASSERT_EQ(store.norms()->squared(slot), norms.squared(slot)) << slot;
  }
}

class SlotStoreCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.metric = DistanceMetric::kL2;  // keeps the reconstruction norms
    options_.wal_flush_threshold = 100000;
    state_ = testing::open_state(options_);
  }

  testing::TempDir dir_;
  EngineOptions options_ = testing::engine_options(dir_.path(), kD);
  std::unique_ptr<EngineState> state_;
};

TEST_F(SlotStoreCopies, EveryWriteRoadKeepsThemFresh) {
  // A batch large enough for the pool, rewrites of half of it, then single writes.
  ASSERT_TRUE(insert_many_with_mode(*state_, rows(0, 700, 1.0), WriteMode::kInsert).ok());
  expect_fresh_copies(*state_);
  ASSERT_TRUE(insert_many_with_mode(*state_, rows(350, 700, 2.0), WriteMode::kUpsert).ok());
  expect_fresh_copies(*state_);
  for (unsigned i = 0; i < 20; ++i) {
    const std::vector<double> v = testing::scaled_vector(kD, 1000 + i, 4.0);
    ASSERT_TRUE(write_vector_entry(*state_, std::to_string(i * 13), v, {}, std::nullopt).ok());
  }
  expect_fresh_copies(*state_);
  // Deletions and the compaction of the next flush renumber every slot.
  std::vector<std::string> gone;
  for (int i = 0; i < 1050; i += 3) gone.push_back(std::to_string(i));
  ASSERT_TRUE(delete_batch(*state_, gone).ok());
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  ASSERT_EQ(state_->slots.ids().slot_count(), 1050u - gone.size());
  expect_fresh_copies(*state_);
  // And a reopen builds them from the files.
  state_.reset();
  state_ = testing::open_state(options_);
  expect_fresh_copies(*state_);
}

TEST_F(SlotStoreCopies, ASlotNamedTwiceKeepsItsLastCode) {
  SlotStore& store = state_->slots;
  const SlotLayout layout = store.layout();
  std::vector<std::vector<std::uint8_t>> packed;
  std::vector<EncodedVector> codes;
  for (unsigned k = 0; k < 3; ++k) {
    const std::vector<double> v = testing::scaled_vector(kD, 50 + k, 1.0);
    codes.push_back(state_->quantizer->quantize(std::vector<float>(v.begin(), v.end())));
    packed.push_back(packing::pack(codes.back().mse_indices, layout.n, layout.mse_bits));
  }
  ASSERT_TRUE(store.reserve_new(2).ok());
  std::vector<std::uint32_t> slots;
  for (const char* id : {"a", "b", "a"}) slots.push_back(store.slot_for(id).value());
  ASSERT_EQ(slots, (std::vector<std::uint32_t>{0, 1, 0}));
  store.write_slots(slots, [&](std::size_t i) {
    return SlotWrite{packed[i], codes[i].qjl_bits, static_cast<float>(codes[i].gamma), 1.0f, {},
                     std::nullopt};
  });
  EXPECT_EQ(store.code_at(0).mse_indices, codes[2].mse_indices);
  EXPECT_EQ(store.code_at(1).mse_indices, codes[1].mse_indices);
  expect_fresh_copies(*state_);
}

}  // namespace
}  // namespace velq
