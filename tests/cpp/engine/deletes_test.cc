// Deletes: what is logged, what the slot and the index become, and what a
// batch whose log append fails part-way leaves behind.
#include "engine/deletes.h"

#include <gtest/gtest.h>

#include "engine/engine_test_util.h"
#include "engine/writes.h"
#include "storage/io/fault_injection.h"

namespace velq {
namespace {

using testing::scaled_vector;
using testing::tag;

class Deletes : public ::testing::Test {
 protected:
  void SetUp() override {
    faults_ = std::make_shared<FaultInjectingFileSystem>(local_file_system());
    options_.fs = faults_;
    state_ = testing::open_state(options_);
    for (const char* id : {"a", "b", "c"}) {
      ASSERT_TRUE(write_vector_entry(*state_, id, scaled_vector(16, 1, 1.0), tag(id), std::nullopt).ok());
    }
    // An index over the three slots, as a build would leave it.
    testing::pretend_indexed(*state_, {0, 1, 2});
  }

  bool index_dropped() const {
    return state_->index.node_slots().empty() && !state_->index.params();
  }

  testing::TempDir dir_;
  EngineOptions options_ = testing::engine_options(dir_.path());
  std::shared_ptr<FaultInjectingFileSystem> faults_;
  std::unique_ptr<EngineState> state_;
};

TEST_F(Deletes, SingleDelete) {
  EXPECT_FALSE(delete_id(*state_, "zz").value());
  EXPECT_EQ(state_->pending.size(), 3u);
  EXPECT_FALSE(index_dropped());

  EXPECT_TRUE(delete_id(*state_, "b").value());
  EXPECT_EQ(state_->pending.size(), 4u);
  EXPECT_TRUE(state_->pending.back().is_deleted);
  EXPECT_TRUE(read_code_slot(state_->layout, state_->live_codes.slot(1)).deleted);
  EXPECT_TRUE(state_->needs_compaction);
  EXPECT_TRUE(index_dropped());
  EXPECT_EQ(state_->manifest.vector_count, 2u);

  // The id can come back at once, in a new slot; the old slot stays flagged.
  ASSERT_TRUE(write_vector_entry(*state_, "b", scaled_vector(16, 2, 1.0), tag("b"), std::nullopt).ok());
  EXPECT_EQ(*state_->id_pool.get_slot("b"), 3u);
  EXPECT_TRUE(read_code_slot(state_->layout, state_->live_codes.slot(1)).deleted);
}

TEST_F(Deletes, BatchCountsEachLiveIdOnce) {
  EXPECT_EQ(delete_batch(*state_, {"x", "y"}).value(), 0u);
  EXPECT_FALSE(index_dropped());
  EXPECT_FALSE(state_->needs_compaction);
  EXPECT_EQ(delete_batch(*state_, {"a", "zz", "a"}).value(), 1u);
  EXPECT_EQ(state_->pending.size(), 4u);
  EXPECT_TRUE(index_dropped());
}

TEST_F(Deletes, WhereMatchesStoredMetadata) {
  JsonObject none = tag("nobody");
  EXPECT_EQ(delete_where(*state_, none).value(), 0u);
  EXPECT_FALSE(index_dropped());
  EXPECT_EQ(delete_where(*state_, tag("c")).value(), 1u);
  EXPECT_FALSE(state_->id_pool.get_slot("c"));
  EXPECT_EQ(delete_where(*state_, JsonObject()).value(), 2u);
  EXPECT_EQ(state_->id_pool.active_count(), 0u);
}

TEST_F(Deletes, FailedBatchStillMarksWhatItDeleted) {
  faults_->arm(FileOp::kWrite, 2, FaultInjectingFileSystem::Action::kFail);
  const Result<std::uint64_t> partial = delete_batch(*state_, {"a", "b", "c"});
  faults_->disarm();
  ASSERT_FALSE(partial.ok());
  EXPECT_FALSE(state_->id_pool.get_slot("a"));
  EXPECT_TRUE(state_->id_pool.get_slot("b"));
  EXPECT_TRUE(state_->needs_compaction);
  EXPECT_TRUE(index_dropped());
}

}  // namespace
}  // namespace velq
