#include "storage/io/backend.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "storage/io/file_io.h"
#include "storage/io/file_uri.h"
#include "storage/io/fault_injection.h"
#include "storage/io/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

void touch(const std::string& path, std::string_view content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(StorageUri, RefusesObjectStores) {
  const std::string gs_message =
      "gs:// and az:// cloud storage are not yet supported. Use s3:// (requires the `cloud` "
      "feature) or a local path.";
  EXPECT_EQ(gs_message.size(), 110u);
  for (const char* uri : {"gs://bucket", "az://x"}) {
    auto b = StorageBackend::from_uri(uri, local_file_system());
    ASSERT_FALSE(b.ok()) << uri;
    EXPECT_EQ(b.error().message(), gs_message);
  }
  auto s3 = StorageBackend::from_uri("s3://bucket", local_file_system());
  ASSERT_FALSE(s3.ok());
  EXPECT_NE(s3.error().message().find("`cloud`"), std::string::npos);
  EXPECT_NE(s3.error().message().find("rebuild"), std::string::npos);
}

TEST(StorageUri, OtherSchemesAreLocalPathsAndCreated) {
  TempDir dir;
  for (const std::string name : {"S3:", "gs:"}) {
    const std::string uri = dir / name + (name == "S3:" ? "/bucket" : "/x");
    auto b = StorageBackend::from_uri(uri, local_file_system());
    ASSERT_TRUE(b.ok()) << b.error().message();
    EXPECT_EQ((*b)->uri, uri);
    EXPECT_TRUE(std::filesystem::is_directory(uri));
  }
}

TEST(StorageUri, FileUrlsNameLocalPaths) {
  EXPECT_EQ(*file_uri_to_path("file:///tmp/db"), "/tmp/db");
  EXPECT_EQ(*file_uri_to_path("file://localhost/tmp/db"), "/tmp/db");
  EXPECT_EQ(*file_uri_to_path("file://LOCALHOST/tmp/db"), "/tmp/db");
  EXPECT_EQ(*file_uri_to_path("file:///tmp/my%20db"), "/tmp/my db");
  EXPECT_EQ(*file_uri_to_path("file:///tmp/my db"), "/tmp/my db");
  EXPECT_EQ(*file_uri_to_path("file:///tmp/a/../b/./c"), "/tmp/b/c");
  EXPECT_EQ(*file_uri_to_path("file:///tmp/db?q=1#frag"), "/tmp/db");
  EXPECT_EQ(*file_uri_to_path("file:///tmp/100%"), "/tmp/100%");
  EXPECT_EQ(*file_uri_to_path("file:///"), "/");
  EXPECT_EQ(*file_uri_to_path("file://"), "/");
  for (const char* bad : {"file://otherhost/tmp/db", "file://127.0.0.1/x", "file:///a%00b",
                          "file://user@localhost/x", "file://localhost:80/x"}) {
    auto p = file_uri_to_path(bad);
    ASSERT_FALSE(p.ok()) << bad;
    EXPECT_EQ(p.error().message(), "Invalid file URI path") << bad;
  }
}

TEST(StorageUri, FileUrlBackendKeepsItsUri) {
  TempDir dir;
  const std::string uri = "file://" + dir / "db";
  auto b = StorageBackend::from_uri(uri, local_file_system());
  ASSERT_TRUE(b.ok()) << b.error().message();
  EXPECT_EQ((*b)->uri, uri);
  ASSERT_TRUE((*b)->provider->write("k", bytes_of("v")).ok());
  EXPECT_EQ(*read_file(*local_file_system(), dir / "db/k"), bytes_of("v"));
}

TEST(StorageUri, UncreatableRootIsAnError) {
  TempDir dir;
  touch(dir / "file");
  EXPECT_FALSE(StorageBackend::from_uri(dir / "file/sub", local_file_system()).ok());
}

class LocalProviderTest : public ::testing::Test {
 protected:
  TempDir dir;
  LocalProvider p{dir.path(), local_file_system()};
};

TEST_F(LocalProviderTest, ListFiltersByLastComponent) {
  touch(dir / "seg-00000000.bin");
  touch(dir / "seg-00000001.bin.tmp");
  touch(dir / "wal.log");
  EXPECT_EQ(sorted(*p.list("seg-")),
            (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin.tmp"}));
  EXPECT_EQ(sorted(*p.list("")),
            (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin.tmp", "wal.log"}));
}

TEST_F(LocalProviderTest, ListInsideSubdirectories) {
  std::filesystem::create_directory(dir / "sub");
  touch(dir / "sub/ab");
  touch(dir / "sub/b");
  EXPECT_EQ(*p.list("sub/a"), std::vector<std::string>{"sub/ab"});
  EXPECT_EQ(sorted(*p.list("sub")), (std::vector<std::string>{"sub/ab", "sub/b"}));
  EXPECT_EQ(sorted(*p.list("sub/")), (std::vector<std::string>{"sub/ab", "sub/b"}));
  EXPECT_TRUE(p.list("missing/x")->empty());
  EXPECT_TRUE(LocalProvider(dir / "nowhere", local_file_system()).list("")->empty());
}

TEST_F(LocalProviderTest, WriteCreatesParentsAndReplacesWhole) {
  ASSERT_TRUE(p.write("a/b/c.bin", bytes_of("long content")).ok());
  ASSERT_TRUE(p.write("a/b/c.bin", bytes_of("short")).ok());
  EXPECT_EQ(*p.read("a/b/c.bin"), bytes_of("short"));
  EXPECT_FALSE(std::filesystem::exists(dir / "a/b/c.bin.tmp"));
  EXPECT_EQ(*p.size("a/b/c.bin"), 5u);
}

TEST_F(LocalProviderTest, WriteReplacesByRenameNotInPlace) {
  ASSERT_TRUE(p.write("f", bytes_of("old")).ok());
  // A reader holding the old file keeps seeing the old bytes: the new
  // content arrives as a new file, never as a truncation of the old one.
  std::ifstream reader(dir / "f", std::ios::binary);
  ASSERT_TRUE(p.write("f", bytes_of("new!")).ok());
  std::string seen((std::istreambuf_iterator<char>(reader)), {});
  EXPECT_EQ(seen, "old");
}

TEST_F(LocalProviderTest, MissingObjects) {
  EXPECT_FALSE(p.read("nope").ok());
  EXPECT_FALSE(p.size("nope").ok());
  EXPECT_FALSE(*p.exists("nope"));
  EXPECT_TRUE(p.remove("nope").ok());
  EXPECT_FALSE(p.rename("nope", "other").ok());
}

TEST_F(LocalProviderTest, RemoveRenameExists) {
  touch(dir / "a", "abc");
  touch(dir / "b", "zz");
  EXPECT_TRUE(*p.exists("a"));
  ASSERT_TRUE(p.rename("a", "b").ok());
  EXPECT_FALSE(*p.exists("a"));
  EXPECT_EQ(*p.read("b"), bytes_of("abc"));
  ASSERT_TRUE(p.remove("b").ok());
  EXPECT_FALSE(*p.exists("b"));
  std::filesystem::create_directory(dir / "d");
  EXPECT_FALSE(p.remove("d").ok());
  EXPECT_FALSE(p.read("d").ok());
}

TEST_F(LocalProviderTest, AbsoluteKeyNamesThatPath) {
  TempDir other;
  ASSERT_TRUE(p.write(other / "abs", bytes_of("x")).ok());
  EXPECT_TRUE(std::filesystem::exists(other / "abs"));
}

TEST(StorageBackendPublish, WritesBothCopiesButAFileOntoItselfOnce) {
  TempDir dir;
  auto b = StorageBackend::from_uri(dir.path(), local_file_system());
  ASSERT_TRUE(b.ok());
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "m.json", bytes_of("old")).ok());
  EXPECT_TRUE(*(*b)->is_local_file("m.json", dir / "m.json"));
  struct stat before {};
  ::stat((dir / "m.json").c_str(), &before);
  ASSERT_TRUE((*b)->publish("m.json", dir / "m.json", bytes_of("local")).ok());
  struct stat after {};
  ::stat((dir / "m.json").c_str(), &after);
  EXPECT_EQ(*read_file(*local_file_system(), dir / "m.json"), bytes_of("local"));
  // Replaced once by the local write; a second replace would have moved the
  // file again under anyone mapping it.
  EXPECT_NE(before.st_ino, after.st_ino);
  ASSERT_TRUE((*b)->push_file("m.json", dir / "m.json").ok());
  struct stat pushed {};
  ::stat((dir / "m.json").c_str(), &pushed);
  EXPECT_EQ(pushed.st_ino, after.st_ino);

  TempDir elsewhere;
  auto remote = StorageBackend::from_uri(elsewhere.path(), local_file_system());
  ASSERT_TRUE(remote.ok());
  EXPECT_FALSE(*(*remote)->is_local_file("m.json", dir / "m.json"));
  ASSERT_TRUE((*remote)->publish("m.json", dir / "m.json", bytes_of("both")).ok());
  EXPECT_EQ(*read_file(*local_file_system(), elsewhere / "m.json"), bytes_of("both"));
  EXPECT_EQ(*read_file(*local_file_system(), dir / "m.json"), bytes_of("both"));
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "v.bin", bytes_of("slots")).ok());
  ASSERT_TRUE((*remote)->push_file("v.bin", dir / "v.bin").ok());
  EXPECT_EQ(*read_file(*local_file_system(), elsewhere / "v.bin"), bytes_of("slots"));
}

TEST(StorageBackendPublish, ErrorsAreNeverAbsence) {
  TempDir dir;
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  auto b = StorageBackend::from_uri(dir.path(), faults);
  ASSERT_TRUE(b.ok());
  const StorageProvider& p = *(*b)->provider;
  ASSERT_TRUE(p.write("k", bytes_of("v")).ok());
  EXPECT_TRUE(*p.exists("k"));
  EXPECT_FALSE(*p.exists("missing"));
  EXPECT_EQ(p.read("missing").error().kind(), ErrorKind::kNotFound);
  faults->arm(FileOp::kStat, 1, FaultInjectingFileSystem::Action::kFail);
  const Result<bool> failed = p.exists("k");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
  faults->arm(FileOp::kRead, 1, FaultInjectingFileSystem::Action::kFail);
  EXPECT_EQ(p.read("k").error().kind(), ErrorKind::kIo);
  faults->arm(FileOp::kStat, 1, FaultInjectingFileSystem::Action::kFail);
  EXPECT_FALSE(p.remove("k").ok());  // not removed on the strength of a failed look
  faults->disarm();
  EXPECT_TRUE(*p.exists("k"));
}

}  // namespace
}  // namespace velq
