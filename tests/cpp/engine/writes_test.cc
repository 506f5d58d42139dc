// Single-record writes: existence rules, what a slot and the log hold after
// a write, the refusals that must leave the log untouched, delta bookkeeping
// and the flush at the threshold.
#include "engine/writes.h"

#include <gtest/gtest.h>

#include <limits>

#include "engine/engine_test_util.h"
#include "engine/slot_layout.h"
#include "storage/io/fault_injection.h"
#include "storage/io/file_io.h"

namespace velq {
namespace {

using testing::open_state;
using testing::scaled_vector;
using testing::tag;

class SingleWrites : public ::testing::Test {
 protected:
  void SetUp() override { state_ = open_state(options_); }

  Status upsert(const std::string& id, double scale, unsigned seed = 1) {
    const std::vector<double> v = scaled_vector(options_.d, seed, scale);
    return write_vector_entry(*state_, id, v, tag(id), std::nullopt);
  }
  // The log as the next open would replay it.
  std::vector<WalEntry> logged() {
    return std::move(Wal::open(options_.fs, state_->wal.path(),
                               CodeLengths{state_->layout.n, state_->layout.mse_bits,
                                           state_->quantizer->qjl_len()})
                         .value()
                         .entries);
  }

  testing::TempDir dir_;
  EngineOptions options_ = testing::engine_options(dir_.path());
  std::unique_ptr<EngineState> state_;
};

TEST_F(SingleWrites, ExistenceRulesAndOverwriteInPlace) {
  const std::vector<double> v = scaled_vector(16, 1, 2.0);
  ASSERT_TRUE(insert_with_document(*state_, "a", v, tag("a"), "doc").ok());
  const Status again = insert_with_document(*state_, "a", v, tag("a"), std::nullopt);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "ID 'a' already exists");
  const Status absent = update_with_document(*state_, "b", v, tag("b"), std::nullopt);
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().message(), "ID 'b' does not exist");
  EXPECT_EQ(state_->pending.size(), 1u);

  ASSERT_TRUE(upsert("a", 5.0, 2).ok());
  EXPECT_EQ(state_->id_pool.slot_count(), 1u);
  EXPECT_EQ(state_->live_codes.len(), 1u);
  EXPECT_FLOAT_EQ(live_codes_at_slot(*state_, 0).norm, 5.0f);
  EXPECT_FALSE(state_->metadata.get(0)->document().has_value());
  EXPECT_EQ(state_->manifest.vector_count, 1u);
  EXPECT_EQ(logged().size(), 2u);

  // The slot holds the quantizer's code of the unit-length vector.
  std::vector<float> unit(16);
  const std::vector<double> w = scaled_vector(16, 2, 1.0);
  for (int i = 0; i < 16; ++i) unit[i] = static_cast<float>(w[i]);
  const EncodedVector code = state_->quantizer->quantize(unit);
  EXPECT_EQ(live_codes_at_slot(*state_, 0).mse_indices, code.mse_indices);
}

TEST_F(SingleWrites, StoredNormAndRawVectorFollowNormalize) {
  for (bool normalize : {false, true}) {
    testing::TempDir dir;
    EngineOptions o = testing::engine_options(dir.path());
    o.rerank_precision = RerankPrecision::kF32;
    o.normalize = normalize;
    auto s = open_state(o);
    const std::vector<double> v = scaled_vector(16, 3, 4.0);
    ASSERT_TRUE(write_vector_entry(*s, "x", v, {}, std::nullopt).ok());
    const std::vector<double> zero(16, 0.0);
    ASSERT_TRUE(write_vector_entry(*s, "zero", zero, {}, std::nullopt).ok());
    EXPECT_FLOAT_EQ(live_codes_at_slot(*s, 0).norm, normalize ? 1.0f : 4.0f);
    EXPECT_FLOAT_EQ(live_codes_at_slot(*s, 1).norm, normalize ? 1.0f : 0.0f);
    std::vector<float> raw(16);
    read_raw_vector(RerankPrecision::kF32, s->live_vectors->slot(0), raw);
    EXPECT_NEAR(raw[0], v[0] / (normalize ? 4.0 : 1.0), 1e-6);
  }
}

TEST_F(SingleWrites, RefusalsLeaveTheLogUntouched) {
  // Finite as f64, not as f32.
  std::vector<double> huge = scaled_vector(16, 1, 1.0);
  huge[3] = 1e39;
  Status refused = write_vector_entry(*state_, "h", huge, {}, std::nullopt);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kInvalidArgument);
  // Every value fits f32 but the sum of squares does not.
  const std::vector<double> overflow(16, 1e20);
  refused = write_vector_entry(*state_, "o", overflow, {}, std::nullopt);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kInvalidArgument);
  // An id the pool would refuse never reaches the log, so the next open
  // cannot fail on it.
  const std::string long_id(65536, 'x');
  refused = write_vector_entry(*state_, long_id, scaled_vector(16, 1, 1.0), {}, std::nullopt);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "id is too long (65536 bytes, max 65535)");
  EXPECT_TRUE(state_->pending.empty());
  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(state_->id_pool.slot_count(), 0u);
}

// f16 raw vectors cannot hold 65520 or more: such a write is refused before
// the log, while the largest finite half, an f32 database and a
// unit-length copy all take the same values.
TEST_F(SingleWrites, F16RawVectorsRefuseValuesThatWouldBeInfinite) {
  struct Case {
    RerankPrecision precision;
    bool normalize;
    bool refused;
  };
  for (const Case c : {Case{RerankPrecision::kF16, false, true}, Case{RerankPrecision::kF32, false, false},
                       Case{RerankPrecision::kF16, true, false}}) {
    testing::TempDir dir;
    EngineOptions o = testing::engine_options(dir.path());
    o.rerank_precision = c.precision;
    o.normalize = c.normalize;
    auto s = open_state(o);
    std::vector<double> v = scaled_vector(16, 1, 1.0);
    v[2] = -65520.0;
    const Status wrote = write_vector_entry(*s, "big", v, {}, std::nullopt);
    EXPECT_EQ(!wrote.ok(), c.refused) << static_cast<int>(c.precision) << c.normalize;
    if (c.refused) {
      EXPECT_EQ(wrote.error().kind(), ErrorKind::kInvalidArgument);
      EXPECT_TRUE(s->pending.empty());
      EXPECT_EQ(s->id_pool.slot_count(), 0u);
    }
    v[2] = 65504.0;
    ASSERT_TRUE(write_vector_entry(*s, "max", v, {}, std::nullopt).ok());
    std::vector<float> raw(16);
    read_raw_vector(c.precision, s->live_vectors->slot(*s->id_pool.get_slot("max")), raw);
    for (const float x : raw) EXPECT_TRUE(std::isfinite(x));
  }
}

TEST_F(SingleWrites, UnsyncedLogRefusesLaterWritesUntilReopen) {
  // Two layers of faults: the append fails, then so does cutting it off.
  auto inner = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  auto outer = std::make_shared<FaultInjectingFileSystem>(inner);
  options_.fs = outer;
  state_.reset();
  state_ = open_state(options_);
  // The first write grows the slot file, which is a truncate as well.
  ASSERT_TRUE(upsert("z", 1.0).ok());
  outer->arm(FileOp::kWrite, 1, FaultInjectingFileSystem::Action::kFail);
  inner->arm(FileOp::kTruncate, 1, FaultInjectingFileSystem::Action::kFail);
  const Status first = upsert("a", 1.0);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().kind(), ErrorKind::kUnsynced);
  outer->disarm();
  inner->disarm();
  const Status later = upsert("b", 1.0);
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().message(), first.error().message());
  EXPECT_FALSE(update_metadata_only(*state_, "a", tag("a"), std::nullopt).ok());
  state_.reset();
  state_ = open_state(options_);
  EXPECT_TRUE(upsert("b", 1.0).ok());
}

// A disk that stays full refuses the write of a new id before it is logged,
// whether the codes or the raw vectors lack room; rewriting a live record
// takes no new storage and goes on. Once there is room the same engine
// writes on, and a reopen holds exactly the acknowledged writes.
TEST_F(SingleWrites, FullDiskRefusesNewSlotsBeforeTheLog) {
  using Action = FaultInjectingFileSystem::Action;
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  options_.fs = faults;
  for (const RerankPrecision raw : {RerankPrecision::kDisabled, RerankPrecision::kF16}) {
    SCOPED_TRACE(std::string(rerank_precision_name(raw)));
    options_.local_dir = options_.storage_uri = dir_ / std::string(rerank_precision_name(raw));
    options_.rerank_precision = raw;
    state_ = open_state(options_);
    ASSERT_TRUE(upsert("0", 1.0).ok());
    faults->arm(FileOp::kAllocate, 1, Action::kFail, /*sticky=*/true);
    std::size_t acknowledged = 1;
    Status refused = ok_status();
    while ((refused = upsert(std::to_string(acknowledged), 1.0)).ok()) ++acknowledged;
    EXPECT_EQ(refused.error().kind(), ErrorKind::kIo);
    EXPECT_LT(acknowledged, 1000u);
    EXPECT_EQ(state_->id_pool.slot_count(), acknowledged);
    EXPECT_EQ(state_->live_codes.len(), acknowledged);
    EXPECT_EQ(state_->pending.size(), acknowledged);
    EXPECT_EQ(logged().size(), acknowledged);
    ASSERT_TRUE(upsert("0", 2.0).ok());
    faults->disarm();
    ASSERT_TRUE(upsert(std::to_string(acknowledged), 1.0).ok());

    state_.reset();
    state_ = open_state(options_);
    EXPECT_EQ(state_->id_pool.active_count(), acknowledged + 1);
    testing::expect_consistent(*state_, [](const std::string& id) { return id == "0" ? 2.0f : 1.0f; });
  }
}

TEST_F(SingleWrites, MetadataOnlyUpdates) {
  ASSERT_TRUE(write_vector_entry(*state_, "a", scaled_vector(16, 1, 1.0), tag("a"), "old").ok());
  ASSERT_TRUE(update_metadata_only(*state_, "a", {}, "new").ok());
  EXPECT_EQ(state_->metadata.get(0)->properties, tag("a"));
  EXPECT_EQ(*state_->metadata.get(0)->document(), "new");
  ASSERT_TRUE(update_metadata_only(*state_, "a", tag("z"), std::nullopt).ok());
  EXPECT_EQ(state_->metadata.get(0)->properties, tag("z"));
  EXPECT_EQ(*state_->metadata.get(0)->document(), "new");
  EXPECT_EQ(update_metadata_only(*state_, "q", {}, std::nullopt).error().message(),
            "ID 'q' does not exist");
  EXPECT_EQ(state_->pending.size(), 1u);
}

TEST_F(SingleWrites, DeltaSlotsOnlyWhileAnIndexExists) {
  ASSERT_TRUE(upsert("a", 1.0).ok());
  ASSERT_TRUE(upsert("z", 1.0).ok());
  EXPECT_TRUE(state_->index.delta().empty());
  testing::pretend_indexed(*state_, {0, 1});
  ASSERT_TRUE(upsert("b", 1.0).ok());
  ASSERT_TRUE(upsert("c", 1.0).ok());
  ASSERT_TRUE(upsert("b", 3.0).ok());
  EXPECT_EQ(testing::delta_of(*state_), (std::vector<std::uint32_t>{2, 3}));
  // A graph node rewritten in place joins the delta list too; its
  // metadata alone does not.
  ASSERT_TRUE(update_metadata_only(*state_, "z", tag("zz"), std::nullopt).ok());
  ASSERT_TRUE(upsert("a", 2.0).ok());
  EXPECT_EQ(testing::delta_of(*state_), (std::vector<std::uint32_t>{0, 2, 3}));
  EXPECT_FALSE(state_->index.lists_changed());  // persisted at once
}

TEST_F(SingleWrites, FlushAtExactlyTheThreshold) {
  options_.wal_flush_threshold = 3;
  state_.reset();
  state_ = open_state(options_);
  ASSERT_TRUE(upsert("a", 1.0).ok());
  ASSERT_TRUE(upsert("b", 1.0).ok());
  EXPECT_EQ(state_->pending.size(), 2u);
  EXPECT_TRUE(state_->segments.segments().empty());
  ASSERT_TRUE(upsert("c", 1.0).ok());
  EXPECT_TRUE(state_->pending.empty());
  EXPECT_EQ(state_->segments.segments().size(), 1u);
  EXPECT_TRUE(logged().empty());
  ASSERT_TRUE(upsert("d", 1.0).ok());
  EXPECT_EQ(state_->pending.size(), 1u);
}

TEST_F(SingleWrites, PersistCountsWrites) {
  for (int i = 0; i < 63; ++i) ASSERT_TRUE(upsert(std::to_string(i), 1.0).ok());
  EXPECT_EQ(state_->ops_since_persist, 63u);
  ASSERT_TRUE(upsert("last", 1.0).ok());
  EXPECT_EQ(state_->ops_since_persist, 0u);
  const Manifest written =
      Manifest::parse(read_file(*options_.fs, state_->local_path(db_files::kManifest)).value()).value();
  EXPECT_EQ(written.vector_count, 64u);
}

}  // namespace
}  // namespace velq
