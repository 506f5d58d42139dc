#include "storage/log/compaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "storage/io/file_io.h"
#include "storage/log/segment.h"
#include "storage/io/fault_injection.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

class CompactionTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<const StorageBackend> backend = *StorageBackend::from_uri(dir.path(), local_file_system());

  void SetUp() override {
    for (std::uint64_t i = 0; i < 3; ++i) {
      put(segment_name(i), encode_segment(std::vector{SegmentRecord{"id" + std::to_string(i), false}}));
    }
  }

  void put(const std::string& name, std::span<const std::uint8_t> bytes) {
    ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / name, bytes).ok());
  }
  void put_state(std::string_view json) { put(kCompactionStateKey, bytes_of(json)); }

  bool recover() {
    Compactor c(backend, 10);
    auto r = c.recover_if_needed();
    if (!r.ok()) ADD_FAILURE() << r.error().message();
    return r.ok() && *r;
  }

  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  const std::vector<std::string> all_three = {"seg-00000000.bin", "seg-00000001.bin",
                                              "seg-00000002.bin"};
};

constexpr std::string_view kPrepared =
    R"({"phase":"prepared","old_segment_names":["seg-00000000.bin","seg-00000001.bin"],)"
    R"("new_segment_name":"seg-00000002.bin"})";

TEST_F(CompactionTest, NothingToDo) {
  EXPECT_FALSE(recover());
  EXPECT_EQ(files(), all_three);
}

TEST_F(CompactionTest, LeftoverTempFilesGoEvenWithoutState) {
  put("seg-00000004.bin.tmp", bytes_of("partial"));
  put("other.tmp", bytes_of("not ours"));
  EXPECT_FALSE(recover());
  EXPECT_FALSE(std::filesystem::exists(dir / "seg-00000004.bin.tmp"));
  EXPECT_TRUE(std::filesystem::exists(dir / "other.tmp"));
}

TEST_F(CompactionTest, UnparsableStateIsDropped) {
  for (std::string_view text :
       {std::string_view("not json"), std::string_view(R"({"phase":"prepared"})"),
        std::string_view(R"({"phase":"done","old_segment_names":[],"new_segment_name":"seg-1.bin"})"),
        std::string_view("\xFF\xFE")}) {
    put_state(text);
    EXPECT_TRUE(recover()) << text;
    EXPECT_EQ(files(), all_three) << text;
  }
}

TEST_F(CompactionTest, CommittedOnlyDropsTheState) {
  put_state(R"({"phase":"committed","old_segment_names":["seg-00000000.bin"],)"
            R"("new_segment_name":"seg-00000002.bin","extra":1})");
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), all_three);
}

TEST_F(CompactionTest, PreparedWithoutNewSegmentDropsTheState) {
  put_state(R"({"phase":"prepared","old_segment_names":["seg-00000000.bin"],)"
            R"("new_segment_name":"seg-00000009.bin"})");
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), all_three);
}

TEST_F(CompactionTest, PreparedWithValidNewSegmentRollsForward) {
  put_state(kPrepared);
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), std::vector<std::string>{"seg-00000002.bin"});
}

TEST_F(CompactionTest, ArrayFormAndNewNameAmongOldNames) {
  put_state(R"(["prepared",["seg-00000000.bin","seg-00000002.bin"],"seg-00000002.bin"])");
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), (std::vector<std::string>{"seg-00000001.bin", "seg-00000002.bin"}));
}

TEST_F(CompactionTest, DamagedNewSegmentRollsBack) {
  std::vector<std::uint8_t> damaged = *read_file(*local_file_system(), dir / "seg-00000002.bin");
  damaged[20] ^= 1;
  put("seg-00000002.bin", damaged);
  put_state(kPrepared);
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin"}));
}

TEST_F(CompactionTest, NewSegmentClaimingHugeCountRollsBack) {
  std::vector<std::uint8_t> huge = *read_file(*local_file_system(), dir / "seg-00000002.bin");
  huge[5] = 1;  // 2^40 + 1 records claimed
  put("seg-00000002.bin", huge);
  put_state(kPrepared);
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin"}));
}

// The recovery deletes what the state names: a name outside the segment
// files (another file, a path, an absolute path) voids the whole state.
TEST_F(CompactionTest, StateNamingOtherFilesDeletesNothing) {
  TempDir outside;
  put("manifest.json", bytes_of("{}"));
  ASSERT_TRUE(write_file_atomic(*local_file_system(), outside / "precious", bytes_of("x")).ok());
  for (const std::string& victim : {std::string("manifest.json"), std::string("../precious"),
                                    outside / "precious", std::string("seg-/../manifest.json")}) {
    put_state(R"({"phase":"prepared","old_segment_names":[")" + victim +
              R"("],"new_segment_name":"seg-00000002.bin"})");
    EXPECT_TRUE(recover());
    EXPECT_TRUE(std::filesystem::exists(dir / "manifest.json")) << victim;
    EXPECT_TRUE(std::filesystem::exists(outside / "precious")) << victim;
    EXPECT_TRUE(std::filesystem::exists(dir / "seg-00000000.bin")) << victim;
  }
}

TEST_F(CompactionTest, StateThatCannotBeDeletedIsAnError) {
  std::filesystem::create_directory(dir / kCompactionStateKey);
  Compactor c(backend, 10);
  EXPECT_FALSE(c.recover_if_needed().ok());
}

// A read that fails says nothing about what the file holds: recovery stops
// with the error and deletes neither the state, nor a segment.
TEST_F(CompactionTest, ReadErrorsDeleteNothing) {
  put_state(kPrepared);
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  const auto faulty = *StorageBackend::from_uri(dir.path(), faults);
  const std::vector<std::string> before = files();
  for (const std::uint64_t nth : {1, 2}) {  // the state file, then the new segment
    faults->arm(FileOp::kRead, nth, FaultInjectingFileSystem::Action::kFail);
    const Result<bool> failed = Compactor(faulty, 10).recover_if_needed();
    faults->disarm();
    ASSERT_FALSE(failed.ok()) << nth;
    EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
    EXPECT_EQ(files(), before) << nth;
  }
  // With reads working again the same state resolves: the new segment verifies.
  EXPECT_TRUE(recover());
  EXPECT_EQ(files(), std::vector<std::string>{"seg-00000002.bin"});
}

// Every prefix and random byte flips of a valid state file: parsed or
// refused, never a crash.
TEST(CompactionState, HostileTextNeverCrashes) {
  const std::vector<std::uint8_t> text = bytes_of(kPrepared);
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    EXPECT_FALSE(parse_compaction_state(std::span(text).first(cut)).ok()) << cut;
  }
  auto whole = parse_compaction_state(text);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole->phase, CompactionPhase::kPrepared);
  EXPECT_EQ(whole->old_segment_names.size(), 2u);
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> damaged = text;
    damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    (void)parse_compaction_state(damaged);
  }
}

}  // namespace
}  // namespace velq
