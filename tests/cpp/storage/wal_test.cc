#include "storage/wal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <random>

#include "common/byte_io.h"
#include "common/crc32.h"
#include "common/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

}  // namespace

void PrintTo(const WalEntry& e, std::ostream* os) {
  *os << "{id=" << e.id << " mse=" << e.mse_indices.size() << " qjl=" << e.qjl_bits.size()
      << " gamma=" << e.gamma << " norm=" << e.norm << " meta=" << e.metadata_json
      << " deleted=" << e.is_deleted << "}";
}

namespace {

const std::vector<std::uint8_t> kHeaderV5 = {'V', 'L', 'W', 'V', 5, 0, 0, 0};

class WalTest : public ::testing::Test {
 protected:
  std::shared_ptr<const ProdQuantizer> q =
      std::make_shared<const ProdQuantizer>(ProdQuantizer::new_srht(20, 4, 7));
  TempDir dir;
  std::string path = dir / "wal.log";

  WalEntry write_entry(int i) const {
    WalEntry e;
    e.id = "id-" + std::to_string(i);
    for (std::uint64_t k = 0; k < q->n(); ++k) {
      e.mse_indices.push_back(static_cast<std::uint16_t>((k * 5 + i) % (1u << q->mse_bits())));
    }
    e.qjl_bits.assign(q->qjl_len(), static_cast<std::uint8_t>(0x5A + i));
    e.gamma = 0.25f * i;
    e.norm = 1.5f + i;
    e.metadata_json = R"({"i":)" + std::to_string(i) + "}";
    return e;
  }

  static WalEntry delete_entry(const std::string& id) {
    WalEntry e;
    e.id = id;
    e.is_deleted = true;
    return e;
  }

  Wal open_wal() {
    auto wal = Wal::open(path);
    if (!wal.ok()) ADD_FAILURE() << wal.error().message();
    wal->set_quantizer(q);
    return std::move(wal).value();
  }

  // Writes `entries` in a fresh log and returns the file's bytes.
  std::vector<std::uint8_t> log_of(const std::vector<WalEntry>& entries) {
    std::filesystem::remove(path);
    Wal wal = open_wal();
    EXPECT_TRUE(wal.append_batch(entries, false).ok());
    return *read_file(path);
  }

  std::vector<WalEntry> replay() {
    auto r = Wal::replay(path, q.get());
    if (!r.ok()) ADD_FAILURE() << r.error().message();
    return r.ok() ? *r : std::vector<WalEntry>{};
  }

  void put(std::span<const std::uint8_t> bytes) {
    std::filesystem::remove(path);
    ASSERT_TRUE(write_file_atomic(path, bytes).ok());
  }

  // Offsets where each record of `file` starts, plus the file size.
  static std::vector<std::size_t> record_bounds(const std::vector<std::uint8_t>& file,
                                                std::size_t crc = 4) {
    std::vector<std::size_t> bounds;
    ByteReader r(file);
    (void)r.skip(8);
    while (!r.at_end()) {
      bounds.push_back(r.position());
      std::uint64_t len = 0;
      EXPECT_TRUE(r.u64(len) && r.skip(static_cast<std::size_t>(len) + crc));
    }
    bounds.push_back(file.size());
    return bounds;
  }
};

TEST_F(WalTest, NewOrEmptyLogGetsHeaderExistingIsUntouched) {
  { open_wal(); }
  EXPECT_EQ(*read_file(path), kHeaderV5);
  put({});
  { open_wal(); }
  EXPECT_EQ(*read_file(path), kHeaderV5);
  const std::vector<std::uint8_t> v4 = {'V', 'L', 'W', 'V', 4, 0, 0, 0, 1};
  put(v4);
  { open_wal(); }
  EXPECT_EQ(*read_file(path), v4);
}

TEST_F(WalTest, ShortLogIsTreatedAsEmptyAndRewritten) {
  for (std::size_t len = 1; len < 8; ++len) {
    put(std::span(kHeaderV5).first(len));
    EXPECT_TRUE(replay().empty()) << len;
    { open_wal(); }
    EXPECT_EQ(*read_file(path), kHeaderV5) << len;
  }
}

TEST_F(WalTest, RoundTripsWritesAndDeletions) {
  std::vector<WalEntry> entries = {write_entry(0), delete_entry("id-0"), write_entry(1)};
  entries[2].id = "\xC3\xA9t\xC3\xA9";  // UTF-8 id
  {
    Wal wal = open_wal();
    ASSERT_TRUE(wal.append_batch(std::span(entries).first(2), false).ok());
    ASSERT_TRUE(wal.append_batch(std::span(entries).subspan(2), true).ok());
  }
  EXPECT_EQ(replay(), entries);
  // Without a quantizer the indices stay packed away.
  auto bare = Wal::replay(path, nullptr);
  ASSERT_TRUE(bare.ok());
  EXPECT_TRUE((*bare)[0].mse_indices.empty());
  EXPECT_EQ((*bare)[0].qjl_bits, entries[0].qjl_bits);
}

TEST_F(WalTest, EmptyBatchWritesNothing) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch({}, false).ok());
  ASSERT_TRUE(wal.append_batch({}, true).ok());
  EXPECT_EQ(*read_file(path), kHeaderV5);
}

TEST_F(WalTest, DeletionRecordIsByteExact) {
  const std::vector<std::uint8_t> file = log_of({delete_entry("a")});
  std::vector<std::uint8_t> expected = kHeaderV5;
  const std::vector<std::uint8_t> framed = {
      42, 0, 0, 0, 0, 0, 0, 0,   // L = 1 + 41
      1,  0, 0, 0, 0, 0, 0, 0,   // id length
      'a',                       //
      0,  0, 0, 0, 0, 0, 0, 0,   // packed_mse: empty
      0,  0, 0, 0, 0, 0, 0, 0,   // qjl_bits: empty
      0,  0, 0, 0,               // gamma
      0,  0, 0, 0,               // norm
      0,  0, 0, 0, 0, 0, 0, 0,   // metadata_json: empty
      1};                        // is_deleted
  expected.insert(expected.end(), framed.begin(), framed.end());
  ByteWriter(expected).u32(crc32(framed));
  EXPECT_EQ(file, expected);
}

TEST_F(WalTest, TruncateLeavesHeaderAndLaterAppendsFollowIt) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0), write_entry(1)}, false).ok());
  ASSERT_TRUE(wal.truncate().ok());
  EXPECT_EQ(*read_file(path), kHeaderV5);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(2)}, false).ok());
  EXPECT_EQ(replay(), std::vector{write_entry(2)});
}

// A write that fails part-way (here: the file size limit) must not leave a
// torn record in front of the appends that follow it.
TEST_F(WalTest, FailedAppendLeavesNoTornRecord) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0)}, false).ok());
  const std::vector<std::uint8_t> before = *read_file(path);
  std::vector<WalEntry> big;
  for (int i = 1; i < 40; ++i) big.push_back(write_entry(i));

  struct sigaction ignore {}, old_action {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old_action);
  rlimit old_limit {};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = before.size() + 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Status failed = wal.append_batch(big, false);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &old_action, nullptr);

  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(*read_file(path), before);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(50)}, false).ok());
  EXPECT_EQ(replay(), (std::vector{write_entry(0), write_entry(50)}));
}

TEST_F(WalTest, CutInsideLastRecordReplaysEarlierOnesQuietly) {
  const std::vector<WalEntry> entries = {write_entry(0), write_entry(1), write_entry(2)};
  const std::vector<std::uint8_t> file = log_of(entries);
  const std::vector<std::size_t> bounds = record_bounds(file);
  for (std::size_t cut = bounds[2]; cut < file.size(); ++cut) {
    put(std::span(file).first(cut));
    ::testing::internal::CaptureStderr();
    const std::vector<WalEntry> got = replay();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << cut;
    EXPECT_EQ(got, std::vector(entries.begin(), entries.begin() + 2)) << cut;
    // The torn record is cut off; no side file for a plain torn tail.
    EXPECT_EQ(read_file(path)->size(), bounds[2]) << cut;
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt-0"));
  }
}

TEST_F(WalTest, FlippedBitInRecordKReportsKAndKeepsTheRest) {
  const std::vector<WalEntry> entries = {write_entry(0), write_entry(1), write_entry(2),
                                         write_entry(3)};
  const std::vector<std::uint8_t> file = log_of(entries);
  const std::vector<std::size_t> bounds = record_bounds(file);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    std::vector<std::uint8_t> damaged = file;
    damaged[bounds[k] + 8 + 3] ^= 0x10;  // inside the id length's payload bytes
    put(damaged);
    std::filesystem::remove(path + ".corrupt-0");
    ::testing::internal::CaptureStderr();
    const std::vector<WalEntry> got = replay();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "WAL CRC32 mismatch at entry " + std::to_string(k) + "; truncating replay here.\n");
    EXPECT_EQ(got, std::vector(entries.begin(), entries.begin() + k));
    EXPECT_EQ(*read_file(path), std::vector(file.begin(), file.begin() + bounds[k]));
    EXPECT_EQ(*read_file(path + ".corrupt-0"), std::vector(damaged.begin() + bounds[k], damaged.end()));
  }
}

TEST_F(WalTest, TornTailIsCutSoTheNextSessionSurvives) {
  std::vector<std::uint8_t> file = log_of({write_entry(0), write_entry(1)});
  file.resize(file.size() - 5);  // crash in the middle of the second record
  put(file);
  {
    Wal wal = open_wal();
    EXPECT_EQ(replay(), std::vector{write_entry(0)});
    ASSERT_TRUE(wal.append_batch(std::vector{write_entry(7), delete_entry("id-0")}, false).ok());
  }
  EXPECT_EQ(replay(), (std::vector{write_entry(0), write_entry(7), delete_entry("id-0")}));
}

// A writer killed at a random moment leaves a log that replays as a prefix
// of what it appended, and a later session's appends come back after it.
TEST_F(WalTest, KilledWriterLeavesAReplayablePrefix) {
  std::mt19937 rng(11);
  for (int round = 0; round < 4; ++round) {
    std::filesystem::remove(path);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto wal = Wal::open(path);
      if (!wal.ok()) ::_exit(1);
      wal->set_quantizer(q);
      for (int batch = 0;; ++batch) {
        std::vector<WalEntry> entries;
        for (int j = 0; j < 50; ++j) {
          entries.push_back(write_entry(0));
          entries.back().id = "e-" + std::to_string(batch * 50 + j);
        }
        if (!wal->append_batch(entries, false).ok()) ::_exit(1);
      }
    }
    ::usleep(2000 + rng() % 20000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    Wal wal = open_wal();
    const std::vector<WalEntry> first = replay();
    for (std::size_t k = 0; k < first.size(); ++k) ASSERT_EQ(first[k].id, "e-" + std::to_string(k));
    ASSERT_TRUE(wal.append_batch(std::vector{delete_entry("after")}, false).ok());
    const std::vector<WalEntry> second = replay();
    ASSERT_EQ(second.size(), first.size() + 1);
    EXPECT_EQ(second.back(), delete_entry("after"));
  }
}

TEST_F(WalTest, SideFilesAreNumberedWithoutOverwriting) {
  std::vector<std::uint8_t> file = log_of({write_entry(0)});
  file.back() ^= 1;
  for (int round = 0; round < 2; ++round) {
    put(file);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(replay().empty());
    ::testing::internal::GetCapturedStderr();
  }
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt-0"));
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt-1"));
}

TEST_F(WalTest, RecordOfWrongShapeForTheQuantizerEndsReplay) {
  WalEntry bad = write_entry(1);
  bad.qjl_bits.push_back(0);  // one sign byte too many
  {
    Wal wal = open_wal();
    ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0), bad, write_entry(2)}, false).ok());
  }
  EXPECT_EQ(replay(), std::vector{write_entry(0)});
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt-0"));
  // A quantizer of another size makes every write entry damaged.
  const ProdQuantizer other = ProdQuantizer::new_srht(100, 4, 7);
  put(log_of({write_entry(0)}));
  EXPECT_TRUE(Wal::replay(path, &other)->empty());
}

TEST_F(WalTest, HugeLengthEndsReplayQuietly) {
  for (std::uint64_t len : {std::uint64_t{1} << 63, ~std::uint64_t{0}, std::uint64_t{1} << 40}) {
    std::vector<std::uint8_t> file = log_of({write_entry(0)});
    ByteWriter(file).u64(len);
    file.push_back(0);
    put(file);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(replay(), std::vector{write_entry(0)});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

TEST_F(WalTest, VersionFourRecordsHaveNoChecksum) {
  const std::vector<std::uint8_t> v5 = log_of({write_entry(0), delete_entry("x")});
  std::vector<std::uint8_t> v4 = {'V', 'L', 'W', 'V', 4, 0, 0, 0};
  const std::vector<std::size_t> bounds = record_bounds(v5);
  for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
    v4.insert(v4.end(), v5.begin() + bounds[k], v5.begin() + bounds[k + 1] - 4);
  }
  put(v4);
  EXPECT_EQ(replay(), (std::vector{write_entry(0), delete_entry("x")}));
  EXPECT_EQ(*read_file(path), v4);  // records present: the flush restarts it later
}

TEST_F(WalTest, VersionFourWithoutRecordsIsRestartedAsFive) {
  put(std::vector<std::uint8_t>{'V', 'L', 'W', 'V', 4, 0, 0, 0});
  Wal wal = open_wal();
  EXPECT_TRUE(replay().empty());
  EXPECT_EQ(*read_file(path), kHeaderV5);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(3)}, false).ok());
  EXPECT_EQ(replay(), std::vector{write_entry(3)});
}

TEST_F(WalTest, UnsupportedVersionsAreErrors) {
  for (std::uint8_t v : {3, 6}) {
    put(std::vector<std::uint8_t>{'V', 'L', 'W', 'V', v, 0, 0, 0});
    auto r = Wal::replay(path, q.get());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "Unsupported WAL version " + std::to_string(v) +
                  " (supported: 4\xE2\x80\x93" "5). The WAL format changed; delete wal.log to "
                  "start fresh.");
  }
}

TEST_F(WalTest, ForeignLogIsMovedAsideAndRestarted) {
  const std::vector<std::uint8_t> foreign = bytes_of("not a log at all");
  put(foreign);
  EXPECT_TRUE(replay().empty());
  EXPECT_EQ(*read_file(path), foreign);  // replay alone leaves it
  {
    Wal wal = open_wal();
    ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0)}, false).ok());
  }
  EXPECT_EQ(*read_file(path + ".corrupt-0"), foreign);
  EXPECT_EQ(replay(), std::vector{write_entry(0)});
}

TEST_F(WalTest, MissingLogReplaysEmpty) { EXPECT_TRUE(replay().empty()); }

// Every prefix and many random bit flips of a small valid log decode to some
// prefix of its records or an error; none may crash or over-allocate.
TEST_F(WalTest, HostileImagesNeverCrash) {
  const std::vector<WalEntry> entries = {write_entry(0), delete_entry("id-0"), write_entry(1)};
  const std::vector<std::uint8_t> file = log_of(entries);
  ::testing::internal::CaptureStderr();
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    auto image = decode_wal(std::span(file).first(cut), q.get());
    ASSERT_TRUE(image.ok());
    EXPECT_LE(image->entries.size(), entries.size());
    EXPECT_LE(image->valid_end, cut);
  }
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> damaged = file;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= 1u << (rng() % 8);
    auto image = decode_wal(damaged, q.get());
    // A flipped version byte is an error, or version 4 reads records
    // without their checksums.
    if (!image.ok() || image->version != 5) continue;
    for (std::size_t k = 0; k < image->entries.size() && k < entries.size(); ++k) {
      // The checksum makes an accepted record an intact one.
      EXPECT_EQ(image->entries[k], entries[k]) << round;
    }
  }
  ::testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace velq
