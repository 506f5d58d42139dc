#include "storage/io/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "common/utf8.h"
#include "storage/io/fault_injection.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

TEST(FileIo, AtomicWriteReplacesWholeAndLeavesNoTemp) {
  TempDir dir;
  const std::string path = dir / "f.bin";
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes_of("first version")).ok());
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes_of("2nd")).ok());
  EXPECT_EQ(*read_file(*local_file_system(), path), bytes_of("2nd"));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, {}).ok());
  EXPECT_TRUE(read_file(*local_file_system(), path)->empty());
}

TEST(FileIo, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "f.bin";
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes_of("old")).ok());
  std::filesystem::create_directory(path + ".tmp");  // the temporary cannot be created
  EXPECT_FALSE(write_file_atomic(*local_file_system(), path, bytes_of("new")).ok());
  EXPECT_EQ(*read_file(*local_file_system(), path), bytes_of("old"));
}

TEST(FileIo, OnlyNoSuchFileMeansAbsent) {
  TempDir dir;
  FileSystem& fs = *local_file_system();
  EXPECT_EQ(read_file(fs, dir / "missing").error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(read_file(fs, dir.path()).error().kind(), ErrorKind::kIo);
  EXPECT_FALSE(read_file_if_present(fs, dir / "missing")->has_value());
  EXPECT_EQ(read_file_if_present(fs, dir.path()).error().kind(), ErrorKind::kIo);
  EXPECT_FALSE(*path_exists(fs, dir / "missing"));
  ASSERT_TRUE(write_file_atomic(fs, dir / "f", bytes_of("x")).ok());
  // A path through a regular file is not "no such file".
  EXPECT_EQ(read_file(fs, dir / "f/g").error().kind(), ErrorKind::kIo);
  EXPECT_EQ(path_exists(fs, dir / "f/g").error().kind(), ErrorKind::kIo);
  if (::geteuid() != 0) {  // root reads whatever the mode bits say
    ::chmod((dir / "f").c_str(), 0);
    EXPECT_EQ(read_file_if_present(fs, dir / "f").error().kind(), ErrorKind::kIo);
  }
}

TEST(FileIo, FaultInjectorFailsOrCountsTheNthOperation) {
  TempDir dir;
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  ASSERT_TRUE(write_file_atomic(*faults, dir / "a", bytes_of("one")).ok());
  EXPECT_EQ(faults->count(FileOp::kOpen), 1u);
  EXPECT_EQ(faults->count(FileOp::kWrite), 1u);
  EXPECT_EQ(faults->count(FileOp::kRename), 1u);

  // The second rename from now fails; the first goes through.
  faults->arm(FileOp::kRename, 2, FaultInjectingFileSystem::Action::kFail);
  EXPECT_TRUE(write_file_atomic(*faults, dir / "a", bytes_of("two")).ok());
  EXPECT_FALSE(faults->fired());
  const Status failed = write_file_atomic(*faults, dir / "a", bytes_of("three"));
  EXPECT_TRUE(faults->fired());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(*read_file(*faults, dir / "a"), bytes_of("two"));
  EXPECT_FALSE(std::filesystem::exists(dir / "a.tmp"));  // the temporary went
  EXPECT_TRUE(write_file_atomic(*faults, dir / "a", bytes_of("four")).ok());  // one-shot

  // Sticky: every write from the first on fails, until disarmed.
  faults->arm(FileOp::kWrite, 1, FaultInjectingFileSystem::Action::kFail, /*sticky=*/true);
  EXPECT_FALSE(write_file_atomic(*faults, dir / "a", bytes_of("five")).ok());
  EXPECT_FALSE(write_file_atomic(*faults, dir / "a", bytes_of("six")).ok());
  faults->disarm();
  EXPECT_TRUE(write_file_atomic(*faults, dir / "a", bytes_of("seven")).ok());

  // A crash ends the process before the operation happens.
  EXPECT_EXIT(
      {
        faults->arm(FileOp::kRename, 1, FaultInjectingFileSystem::Action::kCrash);
        static_cast<void>(write_file_atomic(*faults, dir / "a", bytes_of("eight")));
      },
      ::testing::ExitedWithCode(FaultInjectingFileSystem::kCrashExitCode), "");
  EXPECT_EQ(*read_file(*faults, dir / "a"), bytes_of("seven"));
}

// Whether a fresh process can take the lock of `path` now.
bool another_process_may_lock(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(local_file_system()->lock_exclusive(path).ok() ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FileIo, ExclusiveLockHoldsAgainstEveryOtherTaker) {
  TempDir dir;
  FileSystem& fs = *local_file_system();
  const std::string path = dir / "LOCK";
  Result<std::unique_ptr<FileLock>> held = fs.lock_exclusive(path);
  ASSERT_TRUE(held.ok()) << held.error().message();
  EXPECT_EQ(fs.lock_exclusive(path).error().kind(), ErrorKind::kBusy);  // this process too
  EXPECT_FALSE(another_process_may_lock(path));
  held->reset();
  EXPECT_TRUE(another_process_may_lock(path));
  EXPECT_TRUE(fs.lock_exclusive(path).ok());
  EXPECT_EQ(fs.lock_exclusive(dir / "missing/LOCK").error().kind(), ErrorKind::kNotFound);

  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  faults->arm(FileOp::kLock, 1, FaultInjectingFileSystem::Action::kFail);
  EXPECT_EQ(faults->lock_exclusive(path).error().kind(), ErrorKind::kIo);
  EXPECT_TRUE(faults->lock_exclusive(path).ok());
  EXPECT_EQ(faults->count(FileOp::kLock), 2u);
}

TEST(FileIo, SameFileFollowsLinksNotNames) {
  TempDir dir;
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "a", bytes_of("x")).ok());
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "b", bytes_of("x")).ok());
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_hard_link(dir / "a", dir / "sub/hard");
  FileSystem& fs = *local_file_system();
  EXPECT_TRUE(*same_file(fs, dir / "a", dir / "sub/../a"));
  EXPECT_TRUE(*same_file(fs, dir / "a", dir / "sub/hard"));
  EXPECT_FALSE(*same_file(fs, dir / "a", dir / "b"));
  EXPECT_FALSE(*same_file(fs, dir / "a", dir / "missing"));
}

TEST(FileIo, CreateDirectoriesIsIdempotent) {
  TempDir dir;
  ASSERT_TRUE(local_file_system()->create_directories(dir / "x/y/z").ok());
  ASSERT_TRUE(local_file_system()->create_directories(dir / "x/y/z").ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "x/y/z"));
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "file", bytes_of("x")).ok());
  EXPECT_FALSE(local_file_system()->create_directories(dir / "file/sub").ok());
  EXPECT_FALSE(local_file_system()->create_directories(dir / std::string("a\0b", 3)).ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

TEST(Utf8, AcceptsWellFormedOnly) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("ascii \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF5\x80\x80\x80", "\xE2\x82", "\xFF"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xC3\xA9"), "\xC3\xA9");
}

// Where a file system cannot reserve storage ahead, a range is rewritten with
// its own bytes: every hole of it gets its blocks, and no stored byte (live
// slots may lie in the range) changes.
TEST(FileIo, RewriteInPlaceFillsHolesAndKeepsBytes) {
  TempDir dir;
  const std::string path = dir / "sparse.bin";
  constexpr std::uint64_t kBytes = 1 << 20;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(::pwrite(fd, "tail", 4, 700000), 4);
  ASSERT_EQ(::ftruncate(fd, kBytes), 0);
  struct stat before {};
  ASSERT_EQ(::fstat(fd, &before), 0);
  ASSERT_LT(static_cast<std::uint64_t>(before.st_blocks) * 512, kBytes / 2) << "not sparse here";

  ASSERT_TRUE(rewrite_in_place(fd, 2, kBytes - 2).ok());
  struct stat after {};
  ASSERT_EQ(::fstat(fd, &after), 0);
  EXPECT_GE(static_cast<std::uint64_t>(after.st_blocks) * 512, kBytes);
  EXPECT_EQ(static_cast<std::uint64_t>(after.st_size), kBytes);
  std::vector<std::uint8_t> expected(kBytes, 0);
  std::memcpy(expected.data(), "head", 4);
  std::memcpy(expected.data() + 700000, "tail", 4);
  EXPECT_EQ(*read_file(*local_file_system(), path), expected);
  // A range past the end of the file is refused, not extended.
  EXPECT_FALSE(rewrite_in_place(fd, kBytes - 4, 8).ok());
  EXPECT_EQ(std::filesystem::file_size(path), kBytes);
  ::close(fd);
}

}  // namespace
}  // namespace velq
