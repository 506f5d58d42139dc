#include "storage/log/segment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "storage/io/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;

class SegmentTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<const StorageBackend> backend = *StorageBackend::from_uri(dir.path(), local_file_system());

  SegmentManager open() {
    auto m = SegmentManager::open(backend);
    if (!m.ok()) ADD_FAILURE() << m.error().message();
    return std::move(m).value();
  }

  void put(const std::string& name, std::span<const std::uint8_t> bytes) {
    ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / name, bytes).ok());
  }

  static std::vector<std::string> names(const SegmentManager& m) {
    std::vector<std::string> out;
    for (const Segment& s : m.segments()) out.push_back(s.name);
    return out;
  }
};

TEST(SegmentName, PadsToEightDigitsAtLeast) {
  EXPECT_EQ(segment_name(0), "seg-00000000.bin");
  EXPECT_EQ(segment_name(12), "seg-00000012.bin");
  EXPECT_EQ(segment_name(100000000), "seg-100000000.bin");
}

TEST(SegmentCodec, OneRecordFileIsByteExact) {
  const std::vector<std::uint8_t> file = encode_segment(std::vector{SegmentRecord{"a", false}});
  ASSERT_EQ(file.size(), 30u);
  const std::vector<std::uint8_t> head = {1, 0, 0, 0, 0, 0, 0, 0, 'V', 'L', 'S', 'G', 10, 0, 0, 0,
                                          1, 0, 0, 0, 0, 0, 0, 0, 'a', 0};
  EXPECT_EQ(std::vector(file.begin(), file.begin() + 26), head);
  std::uint32_t crc = 0;
  std::memcpy(&crc, file.data() + 26, 4);
  EXPECT_EQ(crc, crc32(std::span(file).subspan(12, 14)));
}

TEST(SegmentCodec, RoundTripsAndReadsLegacyLayout) {
  const std::vector<SegmentRecord> records = {{"a", false}, {"", true}, {"\xE2\x82\xAC", false}};
  EXPECT_EQ(*decode_segment(encode_segment(records)), records);

  std::vector<std::uint8_t> legacy;
  ByteWriter w(legacy);
  w.u64(records.size());
  for (const SegmentRecord& r : records) {
    w.u32(static_cast<std::uint32_t>(r.id.size() + 9));
    w.u64(r.id.size());
    w.bytes(r.id);
    w.u8(r.is_deleted);
  }
  w.bytes(std::string_view("trailing bytes are not examined"));
  EXPECT_EQ(*decode_segment(legacy), records);
}

TEST(SegmentCodec, DamageIsAnError) {
  std::vector<std::uint8_t> file = encode_segment(std::vector{SegmentRecord{"abc", false}});
  std::vector<std::uint8_t> flipped = file;
  flipped[22] ^= 4;
  auto r = decode_segment(flipped);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "segment CRC32 mismatch: record may be corrupted");

  std::vector<std::uint8_t> huge_count = file;
  huge_count[5] = 1;  // 2^40 + 1 records claimed, one present
  EXPECT_FALSE(decode_segment(huge_count).ok());
}

// Every prefix and random bit flips of a small valid segment: an error or
// the right records, never a crash or a count-sized allocation.
TEST(SegmentCodec, HostileImagesNeverCrash) {
  const std::vector<SegmentRecord> records = {{"id-1", false}, {"id-2", true}, {"x", false}};
  const std::vector<std::uint8_t> file = encode_segment(records);
  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    EXPECT_FALSE(decode_segment(std::span(file).first(cut)).ok()) << cut;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> damaged = file;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= 1u << (rng() % 8);
    const bool header_intact = std::equal(file.begin(), file.begin() + 12, damaged.begin());
    auto decoded = decode_segment(damaged);
    if (decoded.ok() && header_intact) {
      EXPECT_EQ(*decoded, records) << round;
    }
  }
}

TEST_F(SegmentTest, FlushesNumberFromZero) {
  SegmentManager m = open();
  EXPECT_TRUE(m.segments().empty());
  ASSERT_TRUE(m.flush_batch({}).ok());
  EXPECT_EQ(m.next_seq(), 0u);
  ASSERT_TRUE(m.flush_batch({{"a", false}}).ok());
  ASSERT_TRUE(m.flush_batch({{"b", true}, {"c", false}}).ok());
  EXPECT_EQ(names(m), (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin"}));
  EXPECT_EQ(m.segments()[1].record_count, 2u);
  EXPECT_EQ(*read_file(*local_file_system(), dir / "seg-00000000.bin"), encode_segment(std::vector{SegmentRecord{"a", false}}));
  EXPECT_EQ(m.total_disk_size(), 30u + 4 + 10 + 4 + 4 + 10 + 4 + 12);
  EXPECT_FALSE(std::filesystem::exists(dir / "seg-00000001.bin.tmp"));
}

TEST_F(SegmentTest, OpenSortsAndContinuesAboveHighestNumber) {
  put("seg-00000010.bin", encode_segment(std::vector{SegmentRecord{"b", false}}));
  put("seg-00000003.bin", encode_segment(std::vector{SegmentRecord{"a", false}}));
  put("seg-00000004.bin.tmp", std::vector<std::uint8_t>(40, 0));
  put("wal.log", std::vector<std::uint8_t>(40, 0));
  SegmentManager m = open();
  EXPECT_EQ(names(m), (std::vector<std::string>{"seg-00000003.bin", "seg-00000010.bin"}));
  ASSERT_TRUE(m.flush_batch({{"c", false}}).ok());
  EXPECT_EQ(m.segments().back().name, "seg-00000011.bin");
}

TEST_F(SegmentTest, ShortFilesAreSkippedButTheirNumbersCount) {
  put("seg-00000007.bin", std::vector<std::uint8_t>(5, 0));
  SegmentManager m = open();
  EXPECT_TRUE(m.segments().empty());
  EXPECT_EQ(m.next_seq(), 8u);
}

TEST_F(SegmentTest, OddNamesAreListedWithoutNumbers) {
  std::vector<std::uint8_t> legacy(8, 0);
  legacy[0] = 3;
  for (const char* name : {"seg-abc.bin", "seg-.bin", "seg-+.bin", "seg-+5.bin"}) put(name, legacy);
  SegmentManager m = open();
  EXPECT_EQ(names(m),
            (std::vector<std::string>{"seg-+.bin", "seg-+5.bin", "seg-.bin", "seg-abc.bin"}));
  EXPECT_EQ(m.segments()[0].record_count, 3u);
  EXPECT_FALSE(m.segments()[0].checksummed);
  EXPECT_EQ(m.next_seq(), 6u);
}

TEST_F(SegmentTest, NumberAtTheTopOfTheRangeDoesNotWrap) {
  put("seg-18446744073709551615.bin", encode_segment(std::vector{SegmentRecord{"a", false}}));
  put("seg-99999999999999999999.bin", encode_segment(std::vector{SegmentRecord{"a", false}}));
  SegmentManager m = open();
  EXPECT_EQ(m.segments().size(), 2u);
  EXPECT_EQ(m.next_seq(), 0u);
}

TEST_F(SegmentTest, FailedWriteKeepsState) {
  SegmentManager m = open();
  std::filesystem::create_directory(dir / "seg-00000000.bin");  // rename over it fails
  EXPECT_FALSE(m.flush_batch({{"a", false}}).ok());
  EXPECT_TRUE(m.segments().empty());
  EXPECT_EQ(m.next_seq(), 0u);
}

TEST_F(SegmentTest, UnreadableSegmentFailsOpen) {
  std::filesystem::create_directory(dir / "seg-00000001.bin");
  EXPECT_FALSE(SegmentManager::open(backend).ok());
}

}  // namespace
}  // namespace velq
