#include "storage/log/wal.h"

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
#include "quantizer/packing.h"
#include "storage/io/fault_injection.h"
#include "storage/io/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::bytes_of;
using testing::TempDir;

}  // namespace

void PrintTo(const WalEntry& e, std::ostream* os) {
  *os << "{id=" << e.id << " mse=" << e.packed_mse.size() << " qjl=" << e.qjl_bits.size()
      << " gamma=" << e.gamma << " norm=" << e.norm << " meta=" << e.metadata_json
      << " deleted=" << e.is_deleted << "}";
}

namespace {

const std::vector<std::uint8_t> kHeaderV5 = {'V', 'L', 'W', 'V', 5, 0, 0, 0};

class WalTest : public ::testing::Test {
 protected:
  // 20 indices of 3 bits and 3 sign bytes: a 4-bit code of 20 coordinates.
  const CodeLengths lengths{20, 3, 3};
  TempDir dir;
  std::string path = dir / "wal.log";

  WalEntry write_entry(int i) const {
    WalEntry e;
    e.id = "id-" + std::to_string(i);
    std::vector<std::uint16_t> indices;
    for (std::uint64_t k = 0; k < lengths.n; ++k) {
      indices.push_back(static_cast<std::uint16_t>((k * 5 + i) % (1u << lengths.mse_bits)));
    }
    e.packed_mse = packing::pack(indices, lengths.n, lengths.mse_bits);
    e.qjl_bits.assign(lengths.qjl_bytes, static_cast<std::uint8_t>(0x5A + i));
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

  OpenedWal reopen(std::shared_ptr<FileSystem> fs = local_file_system()) {
    auto opened = Wal::open(std::move(fs), path, lengths);
    if (!opened.ok()) {
      ADD_FAILURE() << opened.error().message();
      std::abort();
    }
    return std::move(opened).value();
  }

  Wal open_wal() { return std::move(reopen().wal); }

  // Writes `entries` in a fresh log and returns the file's bytes.
  std::vector<std::uint8_t> log_of(const std::vector<WalEntry>& entries) {
    std::filesystem::remove(path);
    Wal wal = open_wal();
    EXPECT_TRUE(wal.append_batch(entries, false).ok());
    return *read_file(*local_file_system(), path);
  }

  // The entries a new session reads back (repairing the log as it opens).
  std::vector<WalEntry> replay() { return reopen().entries; }

  std::vector<std::uint8_t> file() { return *read_file(*local_file_system(), path); }

  // An append under a file size limit of `limit` bytes: the write stops
  // part-way, as on a full disk.
  static Status append_with_file_size_limit(Wal& wal, std::span<const WalEntry> entries,
                                            std::uint64_t limit) {
    struct sigaction ignore {}, old_action {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit old_limit {};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &small);
    Status status = wal.append_batch(entries, false);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
    return status;
  }

  void put(std::span<const std::uint8_t> bytes) {
    std::filesystem::remove(path);
    ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes).ok());
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

TEST_F(WalTest, NewOrEmptyLogGetsHeaderExistingIsKept) {
  { open_wal(); }
  EXPECT_EQ(file(), kHeaderV5);
  put({});
  { open_wal(); }
  EXPECT_EQ(file(), kHeaderV5);
  const std::vector<std::uint8_t> log = log_of({write_entry(0)});
  { open_wal(); }
  EXPECT_EQ(file(), log);
}

TEST_F(WalTest, ShortLogIsTreatedAsEmptyAndRewritten) {
  for (std::size_t len = 1; len < 8; ++len) {
    put(std::span(kHeaderV5).first(len));
    EXPECT_TRUE(replay().empty()) << len;
    { open_wal(); }
    EXPECT_EQ(*read_file(*local_file_system(), path), kHeaderV5) << len;
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
  // Without code lengths the codes come back as stored, unchecked.
  auto bare = decode_wal(file(), nullptr);
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare->entries[0].packed_mse, entries[0].packed_mse);
  EXPECT_EQ(bare->entries[0].qjl_bits, entries[0].qjl_bits);
}

TEST_F(WalTest, EmptyBatchWritesNothing) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch({}, false).ok());
  ASSERT_TRUE(wal.append_batch({}, true).ok());
  EXPECT_EQ(*read_file(*local_file_system(), path), kHeaderV5);
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

// A batch large enough to be encoded in pieces, of records longer than the
// usual, is the records one after another, each as a lone append writes it.
TEST_F(WalTest, LargeBatchIsItsRecordsInOrder) {
  std::vector<WalEntry> entries;
  std::vector<std::uint8_t> expected = kHeaderV5;
  for (int i = 0; i < 1500; ++i) {
    WalEntry e = i % 7 == 3 ? delete_entry("gone-" + std::to_string(i)) : write_entry(i);
    e.metadata_json += std::string(static_cast<std::size_t>(i % 900), ' ');
    const std::vector<std::uint8_t> alone = log_of({e});
    expected.insert(expected.end(), alone.begin() + 8, alone.end());
    entries.push_back(std::move(e));
  }
  EXPECT_EQ(log_of(entries), expected);
  EXPECT_EQ(replay(), entries);
}

TEST_F(WalTest, TruncateLeavesHeaderAndLaterAppendsFollowIt) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0), write_entry(1)}, false).ok());
  ASSERT_TRUE(wal.truncate().ok());
  EXPECT_EQ(*read_file(*local_file_system(), path), kHeaderV5);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(2)}, false).ok());
  EXPECT_EQ(replay(), std::vector{write_entry(2)});
}

// A write that fails part-way (here: the file size limit) must not leave a
// torn record in front of the appends that follow it.
TEST_F(WalTest, FailedAppendLeavesNoTornRecord) {
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0)}, false).ok());
  const std::vector<std::uint8_t> before = *read_file(*local_file_system(), path);
  std::vector<WalEntry> big;
  for (int i = 1; i < 40; ++i) big.push_back(write_entry(i));

  const Status failed = append_with_file_size_limit(wal, big, before.size() + 1000);

  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(*read_file(*local_file_system(), path), before);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(50)}, false).ok());
  EXPECT_EQ(replay(), (std::vector{write_entry(0), write_entry(50)}));
  // The cut point follows the log through an emptying and a reopening too.
  ASSERT_TRUE(wal.truncate().ok());
  EXPECT_FALSE(append_with_file_size_limit(wal, big, 1000).ok());
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(51)}, false).ok());
  EXPECT_EQ(replay(), (std::vector{write_entry(51)}));
  Wal again = std::move(reopen().wal);
  const std::uint64_t kept = file().size();
  EXPECT_FALSE(append_with_file_size_limit(again, big, kept + 1000).ok());
  EXPECT_EQ(file().size(), kept);
}

TEST_F(WalTest, CutInsideLastRecordKeepsTheCutBytesQuietly) {
  const std::vector<WalEntry> entries = {write_entry(0), write_entry(1), write_entry(2)};
  const std::vector<std::uint8_t> log = log_of(entries);
  const std::vector<std::size_t> bounds = record_bounds(log);
  for (std::size_t cut = bounds[2] + 1; cut < log.size(); ++cut) {
    put(std::span(log).first(cut));
    std::filesystem::remove(path + ".corrupt-0");
    ::testing::internal::CaptureStderr();
    const OpenedWal opened = reopen();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << cut;
    EXPECT_EQ(opened.entries, std::vector(entries.begin(), entries.begin() + 2)) << cut;
    EXPECT_EQ(opened.bytes_set_aside, cut - bounds[2]);
    EXPECT_EQ(file(), std::vector(log.begin(), log.begin() + bounds[2])) << cut;
    EXPECT_EQ(*read_file(*local_file_system(), path + ".corrupt-0"),
              std::vector(log.begin() + bounds[2], log.begin() + cut));
  }
}

// Whatever bit of a record is flipped (length field, payload or checksum),
// replay returns an intact prefix of the records before it, and the bytes cut
// from the log are all kept beside it: nothing acknowledged disappears
// without a trace.
TEST_F(WalTest, FlippedBitAnywhereInARecordLosesNothing) {
  const std::vector<WalEntry> entries = {write_entry(0), write_entry(1), write_entry(2),
                                         write_entry(3)};
  const std::vector<std::uint8_t> log = log_of(entries);
  const std::vector<std::size_t> bounds = record_bounds(log);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    for (std::size_t at = bounds[k]; at < bounds[k + 1]; ++at) {
      // Every bit of the length field; one bit, in turn, of the other bytes.
      const bool in_length = at < bounds[k] + 8;
      for (unsigned bit = 0; bit < 8; ++bit) {
        if (!in_length && bit != at % 8) continue;
        std::vector<std::uint8_t> damaged = log;
        damaged[at] ^= static_cast<std::uint8_t>(1u << bit);
        put(damaged);
        std::filesystem::remove(path + ".corrupt-0");
        ::testing::internal::CaptureStderr();
        const OpenedWal opened = reopen();
        const std::string said = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(opened.entries, std::vector(entries.begin(), entries.begin() + k))
            << "byte " << at << " bit " << bit;
        std::vector<std::uint8_t> kept = file();
        ASSERT_EQ(kept.size(), bounds[k]);
        ASSERT_EQ(opened.bytes_set_aside, damaged.size() - bounds[k]);
        const std::vector<std::uint8_t> aside = *read_file(*local_file_system(), path + ".corrupt-0");
        kept.insert(kept.end(), aside.begin(), aside.end());
        ASSERT_EQ(kept, damaged) << "byte " << at << " bit " << bit;
        // A length made longer than the file reads as a torn tail: no line.
        if (!said.empty()) {
          EXPECT_EQ(said, "WAL CRC32 mismatch at entry " + std::to_string(k) +
                              "; truncating replay here.\n");
        }
      }
    }
  }
  // The case that used to lose the rest silently: the second of four
  // records' length field grown past the end of the file.
  std::vector<std::uint8_t> damaged = log;
  damaged[bounds[1] + 5] ^= 0x01;
  put(damaged);
  std::filesystem::remove(path + ".corrupt-0");
  const OpenedWal opened = reopen();
  EXPECT_EQ(opened.entries, std::vector{write_entry(0)});
  EXPECT_EQ(opened.bytes_set_aside, log.size() - bounds[1]);
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
      auto opened = Wal::open(local_file_system(), path, lengths);
      if (!opened.ok()) ::_exit(1);
      Wal& wal = opened->wal;
      for (int batch = 0;; ++batch) {
        std::vector<WalEntry> entries;
        for (int j = 0; j < 50; ++j) {
          entries.push_back(write_entry(0));
          entries.back().id = "e-" + std::to_string(batch * 50 + j);
        }
        if (!wal.append_batch(entries, false).ok()) ::_exit(1);
      }
    }
    ::usleep(2000 + rng() % 20000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    OpenedWal opened = reopen();
    const std::vector<WalEntry> first = opened.entries;
    for (std::size_t k = 0; k < first.size(); ++k) ASSERT_EQ(first[k].id, "e-" + std::to_string(k));
    ASSERT_TRUE(opened.wal.append_batch(std::vector{delete_entry("after")}, false).ok());
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

TEST_F(WalTest, RecordOfWrongCodeLengthsEndsReplay) {
  WalEntry bad = write_entry(1);
  bad.qjl_bits.push_back(0);  // one sign byte too many
  {
    Wal wal = open_wal();
    ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0), bad, write_entry(2)}, false).ok());
  }
  EXPECT_EQ(replay(), std::vector{write_entry(0)});
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt-0"));
  // Codes of another size make every write entry damaged.
  const CodeLengths other{100, 3, 13};
  EXPECT_TRUE(decode_wal(log_of({write_entry(0)}), &other)->entries.empty());
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
  OpenedWal opened = reopen();
  EXPECT_EQ(opened.entries, (std::vector{write_entry(0), delete_entry("x")}));
  // Rewritten in the current framing, so appends after them replay too.
  EXPECT_EQ(file(), v5);
  ASSERT_TRUE(opened.wal.append_batch(std::vector{write_entry(4)}, false).ok());
  EXPECT_EQ(replay(), (std::vector{write_entry(0), delete_entry("x"), write_entry(4)}));
}

TEST_F(WalTest, VersionFourWithoutRecordsIsRestartedAsFive) {
  put(std::vector<std::uint8_t>{'V', 'L', 'W', 'V', 4, 0, 0, 0});
  Wal wal = open_wal();
  EXPECT_TRUE(replay().empty());
  EXPECT_EQ(*read_file(*local_file_system(), path), kHeaderV5);
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(3)}, false).ok());
  EXPECT_EQ(replay(), std::vector{write_entry(3)});
}

TEST_F(WalTest, UnsupportedVersionsAreErrors) {
  for (std::uint8_t v : {3, 6}) {
    const std::vector<std::uint8_t> header{'V', 'L', 'W', 'V', v, 0, 0, 0};
    put(header);
    auto r = Wal::open(local_file_system(), path, lengths);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kCorruption);
    EXPECT_EQ(file(), header);  // left for the user to look at
    EXPECT_EQ(r.error().message(),
              "Unsupported WAL version " + std::to_string(v) +
                  " (supported: 4\xE2\x80\x93" "5). The WAL format changed; delete wal.log to "
                  "start fresh.");
  }
}

TEST_F(WalTest, ForeignLogIsMovedAsideAndRestarted) {
  const std::vector<std::uint8_t> foreign = bytes_of("not a log at all");
  put(foreign);
  {
    OpenedWal opened = reopen();
    EXPECT_TRUE(opened.entries.empty());
    EXPECT_EQ(opened.bytes_set_aside, foreign.size());
    ASSERT_TRUE(opened.wal.append_batch(std::vector{write_entry(0)}, false).ok());
  }
  EXPECT_EQ(*read_file(*local_file_system(), path + ".corrupt-0"), foreign);
  EXPECT_EQ(replay(), std::vector{write_entry(0)});
}

TEST_F(WalTest, MissingLogReplaysEmpty) { EXPECT_TRUE(replay().empty()); }

// Every prefix and many random bit flips of a small valid log decode to some
// prefix of its records or an error; none may crash or over-allocate.
TEST_F(WalTest, HostileImagesNeverCrash) {
  const std::vector<WalEntry> entries = {write_entry(0), delete_entry("id-0"), write_entry(1)};
  const std::vector<std::uint8_t> file = log_of(entries);
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    auto image = decode_wal(std::span(file).first(cut), &lengths);
    ASSERT_TRUE(image.ok());
    EXPECT_LE(image->entries.size(), entries.size());
    EXPECT_LE(image->valid_end, cut);
  }
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> damaged = file;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= 1u << (rng() % 8);
    auto image = decode_wal(damaged, &lengths);
    // A flipped version byte is an error, or version 4 reads records
    // without their checksums.
    if (!image.ok() || image->version != 5) continue;
    for (std::size_t k = 0; k < image->entries.size() && k < entries.size(); ++k) {
      // The checksum makes an accepted record an intact one.
      EXPECT_EQ(image->entries[k], entries[k]) << round;
    }
  }
}

TEST_F(WalTest, FailuresAreReportedWithWhatTheyLeftBehind) {
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  using Action = FaultInjectingFileSystem::Action;
  OpenedWal opened = reopen(faults);
  Wal& wal = opened.wal;
  ASSERT_TRUE(wal.append_batch(std::vector{write_entry(0)}, true).ok());

  // A write that fails is cut off again: the caller may call it lost.
  faults->arm(FileOp::kWrite, 1, Action::kFail);
  const Status failed = wal.append_batch(std::vector{write_entry(1)}, true);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(replay(), std::vector{write_entry(0)});

  // A sync that fails after the write: the batch is in the file and comes
  // back at the next open, so the error must not read as "not written".
  faults->arm(FileOp::kSync, 1, Action::kFail);
  const Status unsynced = wal.append_batch(std::vector{write_entry(2)}, true);
  ASSERT_FALSE(unsynced.ok());
  EXPECT_EQ(unsynced.error().kind(), ErrorKind::kUnsynced);
  EXPECT_EQ(replay(), (std::vector{write_entry(0), write_entry(2)}));

  // A partial batch that cannot be cut off again: its outcome is unknown.
  faults->arm(FileOp::kTruncate, 1, Action::kFail);
  const Status torn = append_with_file_size_limit(
      wal, std::vector{write_entry(3), write_entry(4), write_entry(5)}, file().size() + 150);
  ASSERT_FALSE(torn.ok());
  EXPECT_EQ(torn.error().kind(), ErrorKind::kUnsynced);
  faults->disarm();

  // A truncate that fails is reported, not ignored.
  faults->arm(FileOp::kTruncate, 1, Action::kFail);
  EXPECT_FALSE(wal.truncate().ok());
  faults->disarm();
}

TEST_F(WalTest, UnreadableLogFailsTheOpenAndChangesNothing) {
  const std::vector<std::uint8_t> log = log_of({write_entry(0), write_entry(1)});
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  faults->arm(FileOp::kRead, 1, FaultInjectingFileSystem::Action::kFail);
  const auto opened = Wal::open(faults, path, lengths);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(file(), log);

  // A failure while keeping damaged bytes aside cuts nothing from the log.
  std::vector<std::uint8_t> damaged = log;
  damaged.back() ^= 1;
  put(damaged);
  faults->arm(FileOp::kRename, 1, FaultInjectingFileSystem::Action::kFail);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Wal::open(faults, path, lengths).ok());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(file(), damaged);
  EXPECT_FALSE(std::filesystem::exists(path + ".corrupt-0"));
}

}  // namespace
}  // namespace velq
