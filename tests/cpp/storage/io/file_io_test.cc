#include "storage/io/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/utf8.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

TEST(FileIo, AtomicWriteReplacesWholeAndLeavesNoTemp) {
  TempDir dir;
  const std::string path = dir / "f.bin";
  ASSERT_TRUE(write_file_atomic(path, bytes_of("first version")).ok());
  ASSERT_TRUE(write_file_atomic(path, bytes_of("2nd")).ok());
  EXPECT_EQ(*read_file(path), bytes_of("2nd"));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  ASSERT_TRUE(write_file_atomic(path, {}).ok());
  EXPECT_TRUE(read_file(path)->empty());
}

TEST(FileIo, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "f.bin";
  ASSERT_TRUE(write_file_atomic(path, bytes_of("old")).ok());
  std::filesystem::create_directory(path + ".tmp");  // the temporary cannot be created
  EXPECT_FALSE(write_file_atomic(path, bytes_of("new")).ok());
  EXPECT_EQ(*read_file(path), bytes_of("old"));
}

TEST(FileIo, ReadErrors) {
  TempDir dir;
  EXPECT_FALSE(read_file(dir / "missing").ok());
  EXPECT_FALSE(read_file(dir.path()).ok());
}

TEST(FileIo, SameFileFollowsLinksNotNames) {
  TempDir dir;
  ASSERT_TRUE(write_file_atomic(dir / "a", bytes_of("x")).ok());
  ASSERT_TRUE(write_file_atomic(dir / "b", bytes_of("x")).ok());
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_hard_link(dir / "a", dir / "sub/hard");
  EXPECT_TRUE(same_file(dir / "a", dir / "sub/../a"));
  EXPECT_TRUE(same_file(dir / "a", dir / "sub/hard"));
  EXPECT_FALSE(same_file(dir / "a", dir / "b"));
  EXPECT_FALSE(same_file(dir / "a", dir / "missing"));
}

TEST(FileIo, CreateDirectoriesIsIdempotent) {
  TempDir dir;
  ASSERT_TRUE(create_directories(dir / "x/y/z").ok());
  ASSERT_TRUE(create_directories(dir / "x/y/z").ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "x/y/z"));
  ASSERT_TRUE(write_file_atomic(dir / "file", bytes_of("x")).ok());
  EXPECT_FALSE(create_directories(dir / "file/sub").ok());
  EXPECT_FALSE(create_directories(dir / std::string("a\0b", 3)).ok());
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

}  // namespace
}  // namespace velq
