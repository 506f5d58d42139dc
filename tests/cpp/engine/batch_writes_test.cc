// Batch writes: modes and duplicates, chunks refused whole before anything
// is logged, identical bytes whichever thread quantized them, delta slots,
// slot growth that fails before the id pool takes an id, and a full disk.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "engine/engine_test_util.h"
#include "engine/writes.h"
#include "search/reconstruction_norms.h"
#include "storage/io/fault_injection.h"

namespace velq {
namespace {

using testing::tag;

std::vector<BatchWriteItem> items(std::size_t first, std::size_t count, std::size_t d = 16,
                                  double scale = 1.0) {
  std::vector<BatchWriteItem> out;
  for (std::size_t i = first; i < first + count; ++i) {
    BatchWriteItem item;
    item.id = std::to_string(i);
    const std::vector<double> v = testing::scaled_vector(d, static_cast<unsigned>(i), scale);
    item.vector.assign(v.begin(), v.end());
    item.metadata = tag(item.id);
    out.push_back(std::move(item));
  }
  return out;
}

class BatchWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    faults_ = std::make_shared<FaultInjectingFileSystem>(local_file_system());
    options_.fs = faults_;
    options_.wal_flush_threshold = 100000;
    state_ = testing::open_state(options_);
  }

  std::vector<std::uint8_t> slot_bytes(const EngineState& s, std::uint32_t slot) const {
    const auto bytes = s.live_codes.slot(slot);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }

  // Reopens the fixture on a fresh directory that keeps f32 raw vectors.
  void open_with_raw_vectors() {
    options_ = testing::engine_options(raw_dir_.path());
    options_.fs = faults_;
    options_.rerank_precision = RerankPrecision::kF32;
    state_ = testing::open_state(options_);
  }

  testing::TempDir dir_, raw_dir_;
  EngineOptions options_ = testing::engine_options(dir_.path());
  std::shared_ptr<FaultInjectingFileSystem> faults_;
  std::unique_ptr<EngineState> state_;
};

TEST_F(BatchWrites, ModesAndDuplicates) {
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, 3), WriteMode::kInsert).ok());
  // A live id at item 3: the chunk is refused whole, before the log.
  std::vector<BatchWriteItem> clash = items(10, 3);
  clash.push_back(items(1, 1)[0]);
  Status refused = insert_many_with_mode(*state_, clash, WriteMode::kInsert);
  EXPECT_EQ(refused.error().message(), "ID '1' already exists");
  // An id twice in one chunk.
  std::vector<BatchWriteItem> twice = items(20, 2);
  twice.push_back(items(20, 1)[0]);
  refused = insert_many_with_mode(*state_, twice, WriteMode::kInsert);
  EXPECT_EQ(refused.error().message(), "ID '20' already exists");
  refused = insert_many_with_mode(*state_, items(2, 2), WriteMode::kUpdate);
  EXPECT_EQ(refused.error().message(), "ID '3' does not exist");
  // An id the pool would refuse, after new ids that it would take.
  std::vector<BatchWriteItem> long_id = items(30, 2);
  long_id[1].id.assign(70000, 'x');
  refused = insert_many_with_mode(*state_, long_id, WriteMode::kUpsert);
  EXPECT_EQ(refused.error().message(), "id is too long (70000 bytes, max 65535)");
  EXPECT_EQ(state_->pending.size(), 3u);
  EXPECT_EQ(state_->id_pool.slot_count(), 3u);
  EXPECT_EQ(state_->metadata.size(), 3u);

  // Upsert of one id twice: one slot, holding the second item.
  std::vector<BatchWriteItem> again = items(5, 1, 16, 2.0);
  again.push_back(items(5, 1, 16, 7.0)[0]);
  ASSERT_TRUE(insert_many_with_mode(*state_, again, WriteMode::kUpsert).ok());
  EXPECT_EQ(state_->id_pool.slot_count(), 4u);
  EXPECT_FLOAT_EQ(live_codes_at_slot(*state_, 3).norm, 7.0f);
  EXPECT_EQ(state_->pending.size(), 5u);
  EXPECT_EQ(state_->manifest.vector_count, 4u);
}

TEST_F(BatchWrites, FailedAppendChangesNoRecord) {
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, 4), WriteMode::kInsert).ok());
  const std::vector<std::uint8_t> before = slot_bytes(*state_, 2);
  faults_->arm(FileOp::kWrite, 1, FaultInjectingFileSystem::Action::kFail);
  std::vector<BatchWriteItem> update = items(0, 4, 16, 9.0);
  update.push_back(items(4, 1)[0]);
  ASSERT_FALSE(insert_many_with_mode(*state_, update, WriteMode::kUpsert).ok());
  faults_->disarm();
  EXPECT_EQ(slot_bytes(*state_, 2), before);
  EXPECT_EQ(state_->id_pool.slot_count(), 4u);
  EXPECT_EQ(state_->pending.size(), 4u);
}

TEST_F(BatchWrites, SameBytesInTheCallingThreadAndOnThePool) {
  testing::TempDir one, other;
  EngineOptions o = testing::engine_options(other.path(), 64);
  o.rerank_precision = RerankPrecision::kF16;
  EngineOptions p = testing::engine_options(one.path(), 64);
  p.rerank_precision = RerankPrecision::kF16;
  auto pooled = testing::open_state(p);
  auto split = testing::open_state(o);
  ASSERT_TRUE(insert_many_with_mode(*pooled, items(0, 513, 64), WriteMode::kInsert).ok());
  ASSERT_TRUE(insert_many_with_mode(*split, items(0, 512, 64), WriteMode::kInsert).ok());
  ASSERT_TRUE(insert_many_with_mode(*split, items(512, 1, 64), WriteMode::kInsert).ok());
  for (std::uint32_t slot = 0; slot < 513; ++slot) {
    ASSERT_EQ(slot_bytes(*pooled, slot), slot_bytes(*split, slot)) << slot;
    const auto a = pooled->live_vectors->slot(slot), b = split->live_vectors->slot(slot);
    ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin())) << slot;
  }
  EXPECT_EQ(pooled->pending, split->pending);
}

// One write at a time and one batch store the same bytes for the same
// vectors (dense codes at a width with a partial tile of outputs).
TEST_F(BatchWrites, SingleWritesStoreTheBatchBytes) {
  testing::TempDir one, other;
  auto single = testing::open_state(testing::engine_options(one.path(), 100));
  auto batch = testing::open_state(testing::engine_options(other.path(), 100));
  std::vector<BatchWriteItem> written = items(0, 70, 100);
  for (const BatchWriteItem& item : written) {
    const std::vector<double> v(item.vector.begin(), item.vector.end());
    ASSERT_TRUE(insert_with_document(*single, item.id, v, item.metadata, std::nullopt).ok());
  }
  ASSERT_TRUE(insert_many_with_mode(*batch, std::move(written), WriteMode::kInsert).ok());
  for (std::uint32_t slot = 0; slot < 70; ++slot) {
    ASSERT_EQ(slot_bytes(*single, slot), slot_bytes(*batch, slot)) << slot;
  }
}

// A chunk written on the pool that names ids more than once, some already
// live: every slot, raw vector and blocked code holds the last item naming
// it, as in a database that was given only those last items.
TEST_F(BatchWrites, RepeatedIdsOnThePoolKeepTheLastItem) {
  testing::TempDir a_dir, b_dir;
  EngineOptions o = testing::engine_options(a_dir.path(), 32);
  o.rerank_precision = RerankPrecision::kF16;
  EngineOptions p = o;
  p.storage_uri = p.local_dir = b_dir.path();
  auto repeated = testing::open_state(o);
  auto last_only = testing::open_state(p);
  for (EngineState* s : {repeated.get(), last_only.get()}) {
    ASSERT_TRUE(insert_many_with_mode(*s, items(0, 300, 32), WriteMode::kInsert).ok());
  }
  // Ids 0..899 three times (the first 300 live), the last round scaled by 5.
  std::vector<BatchWriteItem> rounds = items(0, 900, 32, 2.0);
  for (BatchWriteItem& item : items(0, 900, 32, 3.0)) rounds.push_back(std::move(item));
  for (BatchWriteItem& item : items(0, 900, 32, 5.0)) rounds.push_back(std::move(item));
  ASSERT_TRUE(insert_many_with_mode(*repeated, rounds, WriteMode::kUpsert).ok());
  ASSERT_TRUE(insert_many_with_mode(*last_only, items(0, 900, 32, 5.0), WriteMode::kUpsert).ok());

  ASSERT_EQ(repeated->id_pool.slot_count(), 900u);
  for (std::uint32_t slot = 0; slot < 900; ++slot) {
    ASSERT_EQ(slot_bytes(*repeated, slot), slot_bytes(*last_only, slot)) << slot;
    const auto a = repeated->live_vectors->slot(slot), b = last_only->live_vectors->slot(slot);
    ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin())) << slot;
  }
  ASSERT_TRUE(repeated->blocked_codes.has_value());
  const BlockedCodes& x = *repeated->blocked_codes;
  const BlockedCodes& y = *last_only->blocked_codes;
  ASSERT_EQ(x.size(), y.size());
  EXPECT_EQ(0, std::memcmp(x.block(0), y.block(0), x.memory_bytes()));
  EXPECT_EQ(repeated->metadata.get(899)->properties, tag("899"));
}

// The decoded squares a batch keeps beside its slots, taken from the making
// of the codes on the pool, are those decoding the stored slots gives, for
// the last item naming each slot, with either rotation and either metric
// that keeps them.
TEST_F(BatchWrites, KeptNormsAreThoseOfTheStoredCodes) {
  for (const char* rotation : {"dense", "srht"}) {
    for (const DistanceMetric metric : {DistanceMetric::kL2, DistanceMetric::kCosine}) {
      testing::TempDir where;
      EngineOptions o = testing::engine_options(where.path(), 40);
      o.metric = metric;
      o.quantizer_type = rotation;
      auto s = testing::open_state(o);
      ASSERT_TRUE(s->reconstruction_norms.has_value());
      ASSERT_TRUE(insert_many_with_mode(*s, items(0, 300, 40), WriteMode::kInsert).ok());
      std::vector<BatchWriteItem> rounds = items(100, 700, 40, 2.0);
      for (BatchWriteItem& item : items(100, 700, 40, 3.0)) rounds.push_back(std::move(item));
      ASSERT_TRUE(insert_many_with_mode(*s, std::move(rounds), WriteMode::kUpsert).ok());
      const std::size_t count = s->id_pool.slot_count();
      ASSERT_EQ(count, 800u);
      const ReconstructionNorms rebuilt = ReconstructionNorms::build(
          *s->quantizer, s->live_codes.mapped_bytes(), s->layout.stride, count);
      for (std::size_t slot = 0; slot < count; ++slot) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(s->reconstruction_norms->squared(slot)),
                  std::bit_cast<std::uint64_t>(rebuilt.squared(slot)))
            << rotation << " slot " << slot;
      }
    }
  }
}

TEST_F(BatchWrites, ChunksAndDeltaSlots) {
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, 12001), WriteMode::kInsert).ok());
  EXPECT_EQ(state_->pending.size(), 12001u);
  EXPECT_EQ(state_->id_pool.slot_count(), 12001u);
  EXPECT_EQ(state_->metadata.get(12000)->properties, tag("12000"));
  testing::pretend_indexed(*state_, {0, 1, 2, 3});
  // Rewritten graph nodes join the delta list, in ascending order whatever
  // the order of the items.
  std::vector<BatchWriteItem> rewrites = items(2, 1);
  rewrites.push_back(items(0, 1)[0]);
  rewrites.push_back(items(2, 1)[0]);
  ASSERT_TRUE(insert_many_with_mode(*state_, rewrites, WriteMode::kUpdate).ok());
  EXPECT_EQ(testing::delta_of(*state_), (std::vector<std::uint32_t>{0, 2}));
  std::vector<BatchWriteItem> mixed = items(20000, 2);
  mixed.push_back(items(1, 1)[0]);
  mixed.push_back(items(5, 1)[0]);
  ASSERT_TRUE(insert_many_with_mode(*state_, mixed, WriteMode::kUpsert).ok());
  EXPECT_EQ(testing::delta_of(*state_), (std::vector<std::uint32_t>{0, 1, 2, 5, 12001, 12002}));
}

// One row that f16 raw vectors cannot hold refuses its chunk before the log.
TEST_F(BatchWrites, F16OverflowRefusesTheChunk) {
  testing::TempDir dir;
  EngineOptions o = testing::engine_options(dir.path());
  o.rerank_precision = RerankPrecision::kF16;
  auto s = testing::open_state(o);
  std::vector<BatchWriteItem> batch = items(0, 600);
  batch[417].vector[5] = 1e5f;
  const Status refused = insert_many_with_mode(*s, batch, WriteMode::kInsert);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kInvalidArgument);
  EXPECT_EQ(s->id_pool.slot_count(), 0u);
  EXPECT_TRUE(s->pending.empty());
  batch[417].vector[5] = 65504.0f;
  EXPECT_TRUE(insert_many_with_mode(*s, batch, WriteMode::kInsert).ok());
}

TEST_F(BatchWrites, FailedGrowthLeavesTheIdPoolAndMappingsAlone) {
  open_with_raw_vectors();
  ASSERT_TRUE(state_->live_vectors.has_value());
  const std::size_t full = LiveCodesFile::kGrowthSlots;
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, full), WriteMode::kInsert).ok());
  // The codes file grows, then the vectors file fails to.
  faults_->arm(FileOp::kTruncate, 2, FaultInjectingFileSystem::Action::kFail);
  ASSERT_FALSE(insert_many_with_mode(*state_, items(full, 1), WriteMode::kInsert).ok());
  faults_->disarm();
  EXPECT_EQ(state_->id_pool.slot_count(), full);
  EXPECT_TRUE(state_->live_vectors->is_mapped());
  EXPECT_EQ(state_->live_vectors->capacity(), full);
  EXPECT_FLOAT_EQ(live_codes_at_slot(*state_, full - 1).norm, 1.0f);
  // Retried (as replay would), the id takes the slot both files now hold.
  ASSERT_TRUE(insert_many_with_mode(*state_, items(full + 1, 1), WriteMode::kInsert).ok());
  EXPECT_EQ(*state_->id_pool.get_slot(std::to_string(full + 1)), full);
  EXPECT_EQ(state_->live_codes.len(), full + 1);
  EXPECT_EQ(state_->live_vectors->len(), full + 1);
}

// A chunk of new ids on a disk that stays full is refused before its log
// append, with nothing taken; a chunk that only rewrites live records goes
// on. With room again the same engine writes on, and a reopen holds exactly
// the acknowledged chunks.
TEST_F(BatchWrites, FullDiskRefusesAChunkBeforeTheLog) {
  open_with_raw_vectors();
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, 10), WriteMode::kInsert).ok());
  faults_->arm(FileOp::kAllocate, 1, FaultInjectingFileSystem::Action::kFail, /*sticky=*/true);
  const Status refused = insert_many_with_mode(*state_, items(10, 300), WriteMode::kInsert);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(state_->id_pool.slot_count(), 10u);
  EXPECT_EQ(state_->live_codes.len(), 10u);
  EXPECT_EQ(state_->live_vectors->len(), 10u);
  EXPECT_EQ(state_->pending.size(), 10u);
  const CodeLengths lengths{state_->layout.n, state_->layout.mse_bits, state_->quantizer->qjl_len()};
  EXPECT_EQ(Wal::open(local_file_system(), state_->wal.path(), lengths)->entries.size(), 10u);
  ASSERT_TRUE(insert_many_with_mode(*state_, items(0, 10, 16, 2.0), WriteMode::kUpdate).ok());
  faults_->disarm();
  ASSERT_TRUE(insert_many_with_mode(*state_, items(10, 300), WriteMode::kInsert).ok());

  state_.reset();
  state_ = testing::open_state(options_);
  EXPECT_EQ(state_->id_pool.active_count(), 310u);
  testing::expect_consistent(*state_, [](const std::string& id) { return std::stoi(id) < 10 ? 2.0f : 1.0f; });
}

}  // namespace
}  // namespace velq
