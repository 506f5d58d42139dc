#include "storage/slots/live_codes.h"

#include <gtest/gtest.h>

#include "storage/io/fault_injection.h"
#include "storage/io/file_system.h"
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "common/panic.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

constexpr std::uint64_t kStride = 12;
constexpr std::uint64_t kStep = LiveCodesFile::kGrowthSlots;

std::uint64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }

void write_raw(const std::string& path, std::size_t bytes, std::uint8_t fill) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> data(bytes, static_cast<char>(fill));
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

LiveCodesFile open_file(const std::string& path, std::uint64_t stride = kStride) {
  Result<LiveCodesFile> file = LiveCodesFile::open(local_file_system(), path, stride);
  if (!file.ok()) throw std::runtime_error(file.error().message());
  return std::move(file).value();
}

void fill_slot(LiveCodesFile& file, std::uint64_t index, std::uint8_t value) {
  std::span<std::uint8_t> s = file.slot_mut(index);
  std::memset(s.data(), value, s.size());
}

bool slot_is(const LiveCodesFile& file, std::uint64_t index, std::uint8_t value) {
  for (std::uint8_t b : file.slot(index)) {
    if (b != value) return false;
  }
  return true;
}

// Runs `body` in a forked child whose file-size limit is `limit_bytes`, so
// that growing a file past it fails (EFBIG) instead of succeeding. The child
// reports through its exit status: 0 when every check in `body` held.
int run_with_file_size_limit(std::uint64_t limit_bytes, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = limit_bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(100);
    int code = 101;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

class LiveCodesFileTest : public ::testing::Test {
 protected:
  // A file with `n` slots in use, slot i filled with the byte i + 1.
  LiveCodesFile file_with_slots(std::uint64_t n) {
    LiveCodesFile file = open_file(path);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (!file.alloc_slot().ok()) throw std::runtime_error("alloc_slot failed");
      fill_slot(file, i, static_cast<std::uint8_t>(i + 1));
    }
    return file;
  }

  testing::TempDir dir;
  const std::string path = dir / "live_codes.bin";
};

TEST_F(LiveCodesFileTest, OpeningMissingPathCreatesEmptyUnmappedFile) {
  LiveCodesFile file = open_file(path);
  EXPECT_EQ(file.capacity(), 0u);
  EXPECT_EQ(file.len(), 0u);
  EXPECT_FALSE(file.is_mapped());
  EXPECT_EQ(size_of(path), 0u);
  EXPECT_THROW(static_cast<void>(file.slot(0)), Panic);
}

TEST_F(LiveCodesFileTest, GrowsByWholeStepsAndKeepsData) {
  LiveCodesFile file = open_file(path);

  ASSERT_EQ(*file.alloc_slot(), 0u);
  EXPECT_EQ(size_of(path), kStride * kStep);
  EXPECT_TRUE(slot_is(file, 0, 0));
  fill_slot(file, 0, 0xA5);
  const std::uint8_t* first_view = file.slot(0).data();

  for (std::uint64_t i = 1; i < kStep; ++i) ASSERT_EQ(*file.alloc_slot(), i);
  EXPECT_EQ(file.capacity(), kStep);
  EXPECT_EQ(file.slot(0).data(), first_view) << "slot 16383 must not remap";
  fill_slot(file, kStep - 1, 0x3C);

  ASSERT_EQ(*file.alloc_slot(), kStep);
  EXPECT_EQ(file.capacity(), 2 * kStep);
  EXPECT_EQ(file.len(), kStep + 1);
  EXPECT_EQ(size_of(path), kStride * 2 * kStep);
  EXPECT_TRUE(slot_is(file, 0, 0xA5));
  EXPECT_TRUE(slot_is(file, kStep - 1, 0x3C));
  EXPECT_TRUE(slot_is(file, 2 * kStep - 1, 0));
  EXPECT_THROW(static_cast<void>(file.slot(2 * kStep)), Panic);
}

TEST_F(LiveCodesFileTest, ReopenCountsEveryWholeSlot) {
  ASSERT_TRUE(file_with_slots(1).flush().ok());
  LiveCodesFile grown = open_file(path);
  EXPECT_EQ(grown.len(), kStep) << "a grown, untruncated file counts its tail as in use";
  EXPECT_TRUE(slot_is(grown, 0, 1));

  // 3 whole slots and 5 stray bytes: the stray bytes stay but do not count.
  const std::string partial = dir / "partial.bin";
  write_raw(partial, 3 * kStride + 5, 0x11);
  LiveCodesFile file = open_file(partial);
  EXPECT_EQ(file.len(), 3u);
  EXPECT_EQ(file.capacity(), 3u);
  EXPECT_EQ(size_of(partial), 3 * kStride + 5);
  EXPECT_TRUE(slot_is(file, 2, 0x11));
  ASSERT_EQ(*file.alloc_slot(), 3u);
  EXPECT_EQ(size_of(partial), kStride * (3 + kStep));
  EXPECT_TRUE(slot_is(file, 3, 0)) << "the stray bytes are cut off by growth";

  // A file shorter than one slot is empty and stays unmapped.
  const std::string tiny = dir / "tiny.bin";
  write_raw(tiny, kStride - 1, 1);
  EXPECT_FALSE(open_file(tiny).is_mapped());
}

TEST_F(LiveCodesFileTest, TruncateAndClearSetExactLengths) {
  LiveCodesFile file = file_with_slots(3);
  ASSERT_TRUE(file.truncate_to(2).ok());
  EXPECT_EQ(size_of(path), 2 * kStride);
  EXPECT_EQ(file.len(), 2u);
  EXPECT_TRUE(slot_is(file, 1, 2));
  EXPECT_THROW(static_cast<void>(file.slot(2)), Panic);

  ASSERT_TRUE(file.truncate_to(4).ok());  // growing zero-fills
  EXPECT_EQ(size_of(path), 4 * kStride);
  EXPECT_TRUE(slot_is(file, 3, 0));
  EXPECT_EQ(*file.alloc_slot(), 4u);
  EXPECT_EQ(file.capacity(), 4 + kStep);

  ASSERT_TRUE(file.truncate_to(0).ok());
  EXPECT_FALSE(file.is_mapped());
  EXPECT_EQ(size_of(path), 0u);
  EXPECT_EQ(*file.alloc_slot(), 0u);

  ASSERT_TRUE(file.clear().ok());
  EXPECT_EQ(file.len(), 0u);
  EXPECT_EQ(file.capacity(), 0u);
  EXPECT_FALSE(file.is_mapped());
  EXPECT_EQ(size_of(path), 0u);
}

TEST_F(LiveCodesFileTest, ReleasedHandlesReopenOnDemand) {
  LiveCodesFile file = file_with_slots(1);
  file.advise_random();

  {
    ReleasedSlotFile released = file.release_handles();
    EXPECT_FALSE(file.is_mapped());
    EXPECT_FALSE(file.has_handle());
    try {
      static_cast<void>(file.slot(0));
      ADD_FAILURE() << "slot access while unmapped must panic";
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(), "mmap not initialized");
    }
    // The file can be replaced while released; the reopen sees the new one.
    write_raw(path, kStride * kStep, 4);
  }
  // Mapped again when the guard went, on whatever path.
  EXPECT_TRUE(file.is_mapped());
  ASSERT_EQ(*file.alloc_slot(), 1u);
  EXPECT_TRUE(slot_is(file, 0, 4));

  ReleasedSlotFile released = file.release_handles();
  ASSERT_TRUE(released.reacquire().ok());
  EXPECT_TRUE(slot_is(file, 0, 4));
  // An early return while released still leaves the file mapped.
  auto upload = [&](bool fail) -> Status {
    ReleasedSlotFile guard = file.release_handles();
    if (fail) return Error::io("upload failed");
    return guard.reacquire();
  };
  EXPECT_FALSE(upload(true).ok());
  EXPECT_TRUE(file.is_mapped());
  EXPECT_TRUE(upload(false).ok());
  EXPECT_TRUE(slot_is(file, 0, 4));
}

TEST_F(LiveCodesFileTest, SetLenStaysWithinCapacity) {
  LiveCodesFile file = file_with_slots(1);
  ASSERT_TRUE(file.set_len(5).ok());
  EXPECT_EQ(*file.alloc_slot(), 5u);
  EXPECT_FALSE(file.set_len(kStep + 1).ok());
  EXPECT_EQ(file.len(), 6u);
}

TEST_F(LiveCodesFileTest, FlushWritesTheMappingToTheFile) {
  LiveCodesFile file = file_with_slots(2);
  fill_slot(file, 1, 0x5A);
  ASSERT_TRUE(file.flush().ok());
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes(2 * kStride);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(bytes[kStride - 1], 1);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[kStride]), 0x5A);
}

// A growth the file system refuses leaves the file at its old length, still
// mapped, with its data readable: an unmapped live file would turn every
// later search into a panic.
TEST_F(LiveCodesFileTest, FailedGrowthKeepsTheMapping) {
  LiveCodesFile file = file_with_slots(kStep);
  fill_slot(file, kStep - 1, 0x77);

  const int code = run_with_file_size_limit(kStride * kStep, [&] {
    if (file.alloc_slot().ok()) return 1;
    if (!file.is_mapped() || file.capacity() != kStep || file.len() != kStep) return 2;
    if (size_of(path) != kStride * kStep) return 3;
    if (!slot_is(file, kStep - 1, 0x77)) return 4;
    // The same holds when the handles were released before the failing step.
    ReleasedSlotFile released = file.release_handles();
    if (file.alloc_slot().ok()) return 5;
    if (!file.is_mapped() || !slot_is(file, kStep - 1, 0x77)) return 6;
    if (file.truncate_to(3 * kStep).ok()) return 7;
    if (!file.is_mapped() || file.len() != kStep || !slot_is(file, kStep - 1, 0x77)) return 8;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(LiveCodesFileTest, FailedOpenOrResizeReportsAnError) {
  EXPECT_FALSE(LiveCodesFile::open(local_file_system(), dir / "missing/live_codes.bin", kStride).ok());
  EXPECT_FALSE(LiveCodesFile::open(local_file_system(), dir.path(), kStride).ok()) << "a directory";

  LiveCodesFile file = open_file(path);
  EXPECT_FALSE(file.truncate_to(~0ull / 2).ok()) << "byte length overflows";
  EXPECT_EQ(file.capacity(), 0u);
}

std::uint64_t allocated_bytes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

// A growth step stays sparse; storage is taken only for the pages of the
// slots handed out or reserved, and slot after slot in a reserved page
// costs no further system call.
TEST_F(LiveCodesFileTest, ReservesOnlyThePagesOfItsSlots) {
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  LiveCodesFile file = LiveCodesFile::open(faults, path, kStride).value();
  ASSERT_TRUE(file.reserve(3).ok());
  EXPECT_EQ(file.len(), 0u);
  EXPECT_EQ(file.capacity(), kStep);
  EXPECT_GE(allocated_bytes(path), 3 * kStride);
  EXPECT_LT(allocated_bytes(path), kStride * kStep / 4);
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t slots = 4 * page / kStride;
  for (std::uint64_t i = 0; i < slots; ++i) {
    ASSERT_EQ(*file.alloc_slot(), i);
    fill_slot(file, i, 0xEE);
  }
  EXPECT_LE(faults->count(FileOp::kAllocate), 5u);
  EXPECT_LT(allocated_bytes(path), kStride * kStep / 4);
  // A reservation past the step grows the file by whole steps.
  ASSERT_TRUE(file.reserve(kStep).ok());
  EXPECT_EQ(file.capacity(), 2 * kStep);
  EXPECT_EQ(file.len(), slots);
  EXPECT_TRUE(slot_is(file, slots - 1, 0xEE));
}

// A reservation the disk refuses hands out nothing and is not remembered as
// made: the slot is reserved again, and taken, once there is room.
TEST_F(LiveCodesFileTest, RefusedReservationTakesNoSlot) {
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  LiveCodesFile file = LiveCodesFile::open(faults, path, kStride).value();
  ASSERT_EQ(*file.alloc_slot(), 0u);
  fill_slot(file, 0, 0x11);
  faults->arm(FileOp::kAllocate, 1, FaultInjectingFileSystem::Action::kFail, /*sticky=*/true);
  std::uint64_t taken = 1;
  while (file.alloc_slot().ok()) ++taken;
  EXPECT_TRUE(faults->fired());
  // Slots up to the end of the first page came with its reservation.
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_EQ(taken, page / kStride);
  EXPECT_EQ(file.len(), taken);
  EXPECT_FALSE(file.reserve(1).ok());
  EXPECT_TRUE(file.is_mapped());
  EXPECT_TRUE(slot_is(file, 0, 0x11));
  faults->disarm();
  const std::uint64_t calls = faults->count(FileOp::kAllocate);
  ASSERT_EQ(*file.alloc_slot(), taken);
  EXPECT_EQ(faults->count(FileOp::kAllocate), calls + 1);
  fill_slot(file, taken, 0x22);
  EXPECT_TRUE(slot_is(file, 0, 0x11));
}

}  // namespace
}  // namespace velq
