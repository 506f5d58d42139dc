// Flushing and live-file compaction: what a flush leaves on disk, the order
// that keeps the log until the state files hold its writes, a usable engine
// after a failure past the release of the live files, and a consistent
// numbering after a crash at any step.
#include "engine/flush.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/compaction_switch.h"
#include "engine/deletes.h"
#include "engine/live_compaction.h"
#include "engine/engine_test_util.h"
#include "engine/writes.h"
#include "storage/io/fault_injection.h"
#include "storage/io/file_io.h"

namespace velq {
namespace {

using testing::scaled_vector;
using testing::tag;
using Action = FaultInjectingFileSystem::Action;

// Record "r<k>" has length k.
float norm_of(const std::string& id) { return std::stof(id.substr(1)); }

Status put(EngineState& s, int k) {
  std::string id = "r";
  id += std::to_string(k);
  return write_vector_entry(s, id, scaled_vector(s.d(), k, k), tag(id), std::nullopt);
}

class Flush : public ::testing::Test {
 protected:
  void SetUp() override {
    faults_ = std::make_shared<FaultInjectingFileSystem>(local_file_system());
    options_.fs = faults_;
    options_.rerank_precision = RerankPrecision::kF16;
    // Provider copies in their own directory, so pushes copy bytes.
    options_.storage_uri = store_.path();
    state_ = testing::open_state(options_);
  }

  // r1..r3 written, r2 deleted.
  void three_and_a_delete() {
    for (int k = 1; k <= 3; ++k) ASSERT_TRUE(put(*state_, k).ok());
    ASSERT_TRUE(delete_id(*state_, "r2").value());
  }

  std::size_t logged() {
    return Wal::open(local_file_system(), state_->wal.path(),
                     CodeLengths{state_->layout.n, state_->layout.mse_bits,
                                 state_->quantizer->qjl_len()})
        .value()
        .entries.size();
  }

  void reopen() {
    state_.reset();
    faults_->disarm();
    state_ = testing::open_state(options_);
    ASSERT_NE(state_, nullptr);
  }

  testing::TempDir dir_, store_;
  EngineOptions options_ = testing::engine_options(dir_.path());
  std::shared_ptr<FaultInjectingFileSystem> faults_;
  std::unique_ptr<EngineState> state_;
};

TEST_F(Flush, CompactionRenumbersEveryFileTogether) {
  three_and_a_delete();
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  ASSERT_EQ(state_->segments.segments().size(), 1u);
  EXPECT_EQ(state_->segments.segments()[0].record_count, 4u);
  EXPECT_FALSE(state_->needs_compaction);
  EXPECT_EQ(state_->live_codes.len(), 2u);
  EXPECT_EQ(state_->live_codes.capacity(), 2u);
  EXPECT_EQ(state_->live_vectors->capacity(), 2u);
  EXPECT_EQ(*state_->id_pool.get_slot("r3"), 1u);
  EXPECT_EQ(state_->metadata.get(1)->properties, tag("r3"));
  EXPECT_EQ(state_->metadata.size(), 2u);
  std::vector<float> raw(16);
  read_raw_vector(RerankPrecision::kF16, state_->live_vectors->slot(1), raw);
  EXPECT_NEAR(raw[0], scaled_vector(16, 3, 3)[0], 2e-3);
  EXPECT_EQ(logged(), 0u);
  EXPECT_FALSE(path_exists(*faults_, state_->local_path(db_files::kCompactionSwitch)).value());
  EXPECT_TRUE(path_exists(*faults_, store_ / "live_codes.bin").value());
  reopen();
  testing::expect_consistent(*state_, norm_of);
  EXPECT_EQ(state_->id_pool.slot_count(), 2u);
}

// The switch puts the staged metadata.bin in place; the store it installs is
// that file, so the flush does not write it a second time.
TEST_F(Flush, CompactionWritesMetadataOnce) {
  three_and_a_delete();
  ASSERT_TRUE(update_metadata_only(*state_, "r3", {}, "doc").ok());
  ASSERT_TRUE(compact_live_files(*state_).ok());
  EXPECT_FALSE(state_->metadata.dirty());
  const MetadataStore reread = MetadataStore::open(faults_, state_->metadata.path()).value();
  ASSERT_EQ(reread.size(), 2u);
  EXPECT_EQ(*reread.get(1)->document(), "doc");
}

TEST_F(Flush, WithoutDeletionsTheSlotsStayAndTheIndexGoes) {
  for (int k = 1; k <= 2; ++k) ASSERT_TRUE(put(*state_, k).ok());
  testing::pretend_indexed(*state_, {0});
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  EXPECT_EQ(state_->live_codes.capacity(), LiveCodesFile::kGrowthSlots);
  EXPECT_TRUE(state_->index.node_slots().empty());
  EXPECT_EQ(logged(), 0u);
}

// A grown database flushes only once the pending writes reach a share of its
// records; the log keeps the writes meanwhile, so a process that ends
// without a flush loses none of them.
TEST_F(Flush, NothingPendingStillWritesMetadata) {
  ASSERT_TRUE(put(*state_, 1).ok());
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  ASSERT_TRUE(update_metadata_only(*state_, "r1", {}, "kept").ok());
  testing::pretend_indexed(*state_, {0});
  state_->needs_compaction = true;
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  EXPECT_EQ(state_->segments.segments().size(), 1u);
  EXPECT_EQ(state_->index.node_slots().size(), 1u);
  EXPECT_TRUE(state_->needs_compaction);
  const MetadataStore reread = MetadataStore::open(faults_, state_->metadata.path()).value();
  EXPECT_EQ(*reread.get(0)->document(), "kept");
}

TEST_F(Flush, LogOutlivesAFailedStateFileWrite) {
  three_and_a_delete();
  // metadata.bin is replaced by a rename; fail each rename of the flush in turn.
  const std::uint64_t renames_before = faults_->count(FileOp::kRename);
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  const std::uint64_t renames = faults_->count(FileOp::kRename) - renames_before;
  for (std::uint64_t nth = 1; nth <= renames; ++nth) {
    SCOPED_TRACE(nth);
    reopen();
    ASSERT_TRUE(put(*state_, 7).ok());
    faults_->arm(FileOp::kRename, nth, Action::kFail);
    const Status flushed = flush_wal_to_segment(*state_);
    faults_->disarm();
    if (!flushed.ok() && logged() == 0) {
      // The log may only be empty once live_ids.bin names r7.
      EXPECT_TRUE(IdPool::read_bincode(*read_file(*faults_, state_->local_path(db_files::kLiveIds)))->get_slot("r7"));
    }
    reopen();
    EXPECT_TRUE(state_->id_pool.get_slot("r7"));
    testing::expect_consistent(*state_, norm_of);
  }
}

TEST_F(Flush, FailureAfterReleaseLeavesTheFilesMapped) {
  three_and_a_delete();
  // The provider cannot replace a directory by the pushed file.
  ASSERT_TRUE(std::filesystem::create_directory(store_ / "live_codes.bin"));
  const Status flushed = flush_wal_to_segment(*state_);
  ASSERT_FALSE(flushed.ok());
  std::filesystem::remove(store_ / "live_codes.bin");
  EXPECT_EQ(logged(), 0u);
  EXPECT_TRUE(state_->live_codes.is_mapped());
  EXPECT_TRUE(state_->live_vectors->is_mapped());
  ASSERT_TRUE(put(*state_, 4).ok());
  EXPECT_FLOAT_EQ(live_codes_at_slot(*state_, *state_->id_pool.get_slot("r4")).norm, 4.0f);
  reopen();
  testing::expect_consistent(*state_, norm_of);
  EXPECT_EQ(state_->id_pool.active_count(), 3u);
}

TEST_F(Flush, StaleStagedFilesAndDamagedSwitch) {
  std::ofstream(staged_path(dir_.path(), "live_codes.bin")) << "leftover of a run that never committed";
  three_and_a_delete();
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  EXPECT_EQ(state_->live_codes.capacity(), 2u);
  EXPECT_FALSE(path_exists(*faults_, staged_path(dir_.path(), "live_codes.bin")).value());

  const std::string sw = state_->local_path(db_files::kCompactionSwitch);
  std::ofstream(sw) << "velq live compaction switch 1\n../elsewhere\n";
  const Status finished = finish_interrupted_compaction(*faults_, dir_.path());
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error().kind(), ErrorKind::kCorruption);
  EXPECT_TRUE(path_exists(*faults_, sw).value());
  for (const char* bad : {"", "velq live compaction switch 1\n", "nope\nlive_ids.bin\n",
                          "velq live compaction switch 1\nlive_ids.bin"}) {
    const std::string text(bad);
    EXPECT_FALSE(decode_compaction_switch(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())).ok()) << text;
  }
}

// A compaction target without room fails the flush before a slot is copied
// into it: the old files and numbering stay in use, the log keeps every
// write, and with room again the next flush compacts.
TEST_F(Flush, FullDiskFailsCompactionBeforeItCopies) {
  three_and_a_delete();
  faults_->arm(FileOp::kAllocate, 1, Action::kFail, /*sticky=*/true);
  const Status refused = flush_wal_to_segment(*state_);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kIo);
  EXPECT_TRUE(faults_->fired());
  EXPECT_TRUE(state_->needs_compaction);
  EXPECT_FALSE(state_->write_refusal.has_value());
  EXPECT_EQ(*state_->id_pool.get_slot("r3"), 2u);
  EXPECT_EQ(logged(), 4u);
  faults_->disarm();
  ASSERT_TRUE(put(*state_, 4).ok());
  ASSERT_TRUE(flush_wal_to_segment(*state_).ok());
  EXPECT_EQ(state_->live_codes.capacity(), 3u);
  reopen();
  EXPECT_EQ(state_->id_pool.active_count(), 3u);
  EXPECT_FALSE(state_->id_pool.get_slot("r2"));
  testing::expect_consistent(*state_, norm_of);
}

// Crashes the flush of r1..r4 with r2 deleted at every operation of every
// kind, each in a child process, and reopens what the crash left.
TEST_F(Flush, CrashAtEveryStepReopensConsistently) {
  const FileOp kinds[] = {FileOp::kWrite, FileOp::kRename, FileOp::kTruncate, FileOp::kSync,
                          FileOp::kOpen,  FileOp::kRemove, FileOp::kMap, FileOp::kAllocate};
  int crashes = 0;
  for (const FileOp kind : kinds) {
    for (std::uint64_t nth = 1;; ++nth) {
      testing::TempDir dir;
      EngineOptions o = testing::engine_options(dir.path());
      o.rerank_precision = RerankPrecision::kF32;
      auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
      o.fs = faults;
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        auto s = testing::open_state(o);
        bool ok = s != nullptr;
        for (int k = 1; ok && k <= 4; ++k) ok = put(*s, k).ok();
        ok = ok && delete_id(*s, "r2").ok();
        faults->arm(kind, nth, Action::kCrash);
        ok = ok && flush_wal_to_segment(*s).ok();
        std::_Exit(ok ? 0 : 1);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      const int code = WEXITSTATUS(status);
      ASSERT_TRUE(code == 0 || code == FaultInjectingFileSystem::kCrashExitCode)
          << "kind " << static_cast<int>(kind) << " step " << nth;
      o.fs = local_file_system();
      auto s = testing::open_state(o);
      ASSERT_NE(s, nullptr) << "kind " << static_cast<int>(kind) << " step " << nth;
      EXPECT_EQ(s->id_pool.active_count(), 3u) << "kind " << static_cast<int>(kind) << " step " << nth;
      EXPECT_FALSE(s->id_pool.get_slot("r2"));
      testing::expect_consistent(*s, norm_of);
      if (code == 0) break;
      ++crashes;
    }
  }
  EXPECT_GT(crashes, 20);
}

}  // namespace
}  // namespace velq
