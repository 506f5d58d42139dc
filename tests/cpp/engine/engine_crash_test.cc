// Crash safety: a child process runs a workload through a file layer that
// ends it at the N-th operation of one kind (a write, a sync, a rename, a
// truncate, ...), for every N the workload reaches. Every operation the child
// acknowledged before it died must be found by the next open, with its own
// metadata: a record never carries another record's properties. The
// workload reaches every road that rewrites files: logged writes and
// deletes, a flush that compacts, the flush that makes a metadata-only
// update durable (nothing buffered), an index build and close.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "engine/slot_layout.h"
#include "engine/velqor_engine.h"
#include "storage/io/fault_injection.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;
using Action = FaultInjectingFileSystem::Action;

constexpr std::size_t kDim = 8;

EngineOptions options_for(const std::string& dir, std::shared_ptr<FileSystem> fs) {
  EngineOptions o;
  o.storage_uri = dir;
  o.local_dir = dir;
  o.d = kDim;
  o.b = 4;
  o.rerank_precision = RerankPrecision::kF32;
  o.fs = std::move(fs);
  return o;
}

// Record i's vector; records are numbered below 110.
const std::vector<double>& vec(int i) {
  static const std::vector<std::vector<double>> table = [] {
    std::vector<std::vector<double>> t(110, std::vector<double>(kDim));
    for (std::size_t i = 0; i < t.size(); ++i) {
      std::mt19937 rng(static_cast<unsigned>(i));
      std::normal_distribution<double> normal;
      for (double& x : t[i]) x = normal(rng);
    }
    return t;
  }();
  return table.at(static_cast<std::size_t>(i));
}

JsonObject props(int i) { return JsonObject({JsonMember("i", JsonValue::integer(std::uint64_t(i)))}); }

// The properties a metadata-only update gives record i.
constexpr int kRevised = 1000;

// What the child reports on its pipe: ?i before it starts an operation on
// record i, +i when an insert of it was acknowledged, -i when a delete was.
// An operation started and not acknowledged may or may not have happened.
// ~i before a metadata-only update of record i to props(i + kRevised), =i
// when a flush after it was acknowledged: only then must the update survive.
void report(int fd, char op, int i) {
  char line[32];
  const int n = std::snprintf(line, sizeof line, "%c%d\n", op, i);
  static_cast<void>(::write(fd, line, static_cast<std::size_t>(n)));
}

// Writes, deletes, a flush that compacts, more writes and a close. Exits at
// the first failure (a crash point fires before that anyway).
void workload(const std::string& dir, std::shared_ptr<FileSystem> fs, int fd) {
  Result<VelqorEngine> opened = VelqorEngine::open_with_options(options_for(dir, fs));
  if (!opened.ok()) ::_exit(10);
  VelqorEngine& e = *opened;
  auto put = [&](int i) {
    report(fd, '?', i);
    if (!e.write_vector_entry("id-" + std::to_string(i), vec(i), props(i), std::nullopt).ok()) ::_exit(11);
    report(fd, '+', i);
  };
  auto del = [&](int i) {
    report(fd, '?', i);
    if (!e.delete_id("id-" + std::to_string(i)).ok()) ::_exit(12);
    report(fd, '-', i);
  };
  for (int i = 100; i < 106; ++i) put(i);
  del(101);
  del(3);
  if (!e.flush_wal_to_segment().ok()) ::_exit(13);
  put(106);
  del(104);
  std::vector<BatchWriteItem> batch;
  for (int i = 107; i < 110; ++i) {
    report(fd, '?', i);
    const std::vector<double> v = vec(i);
    batch.push_back({"id-" + std::to_string(i), std::vector<float>(v.begin(), v.end()), props(i), std::nullopt});
  }
  if (!e.insert_many_with_mode(std::move(batch), WriteMode::kUpsert).ok()) ::_exit(14);
  for (int i = 107; i < 110; ++i) report(fd, '+', i);
  if (!e.close().ok()) ::_exit(15);
  // Nothing is buffered now: this flush only rewrites metadata.bin.
  report(fd, '~', 2);
  if (!e.update_metadata_only("id-2", props(2 + kRevised), std::nullopt).ok()) ::_exit(16);
  if (!e.flush_wal_to_segment().ok()) ::_exit(17);
  report(fd, '=', 2);
  put(100);
  if (!e.create_index_with_params({.max_degree = 4, .ef_construction = 8, .search_list_size = 8,
                                   .n_refinements = 1, .alpha = 1.2})
           .ok()) {
    ::_exit(18);
  }
  if (!e.close().ok()) ::_exit(19);
}

// The state every run starts from: ten records closed cleanly, then two
// more and a delete left in the log only, so the workload's open replays
// and flushes them (crash points inside recovery too).
void seed_database(const std::string& dir) {
  VelqorEngine e = *VelqorEngine::open_with_options(options_for(dir, local_file_system()));
  auto put = [&](int i) { return e.write_vector_entry("id-" + std::to_string(i), vec(i), props(i), std::nullopt); };
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(put(i).ok());
  ASSERT_TRUE(e.close().ok());
  ASSERT_TRUE(put(10).ok() && put(11).ok());
  ASSERT_TRUE(e.delete_id("id-9").ok());
}

struct Acknowledged {
  std::set<int> live;
  std::set<int> deleted;
  std::set<int> revising;  // may hold props(i) or props(i + kRevised)
  std::set<int> revised;   // must hold props(i + kRevised)
};

Acknowledged read_reports(int fd) {
  Acknowledged ack;
  ack.live = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11};
  ack.deleted = {9};
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;
    const int i = std::stoi(text.substr(pos + 1, end - pos - 1));
    if (text[pos] == '~') {
      ack.revising.insert(i);
    } else if (text[pos] == '=') {
      ack.revising.erase(i);
      ack.revised.insert(i);
    } else if (text[pos] == '?') {
      ack.live.erase(i);  // uncertain until acknowledged
      ack.deleted.erase(i);
    } else if (text[pos] == '+') {
      ack.live.insert(i);
      ack.deleted.erase(i);
    } else {
      ack.live.erase(i);
      ack.deleted.insert(i);
    }
    pos = end + 1;
  }
  return ack;
}

// Runs the workload in a child that dies at the `nth` operation of kind `op`
// (or completes); returns false when the fault never fired.
bool run_until_crash(const std::string& dir, FileOp op, std::uint64_t nth, Acknowledged& ack) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
    faults->arm(op, nth, Action::kCrash);
    workload(dir, faults, fds[1]);
    ::_exit(0);
  }
  ::close(fds[1]);
  ack = read_reports(fds[0]);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == FaultInjectingFileSystem::kCrashExitCode;
}

void check_recovered(const std::string& dir, const Acknowledged& ack, const std::string& where) {
  Result<VelqorEngine> opened = VelqorEngine::open_with_options(options_for(dir, local_file_system()));
  ASSERT_TRUE(opened.ok()) << where << ": " << opened.error().message();
  VelqorEngine& e = *opened;
  for (const int i : ack.live) {
    const auto got = e.get("id-" + std::to_string(i));
    ASSERT_TRUE(got.ok() && got->has_value()) << where << ": id-" << i << " lost";
    const JsonObject& meta = (*got)->metadata;
    if (ack.revised.contains(i)) {
      EXPECT_EQ(meta, props(i + kRevised)) << where << ": id-" << i << " lost a flushed metadata update";
    } else if (!ack.revising.contains(i) || meta != props(i + kRevised)) {
      EXPECT_EQ(meta, props(i)) << where << ": id-" << i << " carries another record's metadata";
    }
  }
  for (const int i : ack.deleted) {
    EXPECT_FALSE(e.get("id-" + std::to_string(i))->has_value()) << where << ": id-" << i << " came back";
  }
  if (e.stats().has_index) {
    // A graph the build left behind must be whole enough to walk.
    const auto hits = e.search_with_filter_and_ann(vec(0), 3, nullptr, std::nullopt, true);
    ASSERT_TRUE(hits.ok()) << where << ": " << hits.error().message();
  }
  const std::uint64_t count = *e.count_with_filter(nullptr);
  EXPECT_EQ(count, e.list_with_filter_page(nullptr, std::nullopt, 0)->size()) << where;
  EXPECT_EQ(count, e.stats().vector_count) << where;
  // Every live record's slot holds its own vector: exactly, or after a
  // replay that could not find it, its code's approximation, which is still
  // nearer to it than to any other record's.
  for (const auto& [id, slot] : EngineInternals::of(e).id_pool.iter_active()) {
    const int own = std::stoi(id.substr(3));
    std::vector<float> raw(kDim);
    read_raw_vector(RerankPrecision::kF32, EngineInternals::of(e).live_vectors->slot(slot), raw);
    auto distance = [&](int i) {
      double sum = 0.0;
      for (std::size_t k = 0; k < kDim; ++k) sum += (raw[k] - vec(i)[k]) * (raw[k] - vec(i)[k]);
      return sum;
    };
    for (int other = 0; other < 110; ++other) {
      if (other == own) continue;
      EXPECT_LT(distance(own), distance(other)) << where << ": " << id << " vs " << other;
    }
  }
}

TEST(EngineCrash, EveryStepOfWriteFlushAndCompaction) {
  // How many operations of each kind the workload makes.
  std::array<std::uint64_t, kFileOpCount> counts{};
  TempDir probe;
  seed_database(probe.path());
  auto counter = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      workload(probe.path(), counter, fds[1]);
      // Report the counts instead of acknowledgements.
      for (std::size_t k = 0; k < kFileOpCount; ++k) {
        char line[32];
        const int n = std::snprintf(line, sizeof line, "%llu\n",
                                    static_cast<unsigned long long>(counter->count(static_cast<FileOp>(k))));
        static_cast<void>(::write(fds[1], line, static_cast<std::size_t>(n)));
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
    // The counts are the last kFileOpCount lines.
    std::vector<std::string> lines;
    for (std::size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
      lines.push_back(text.substr(pos, end - pos));
    }
    ASSERT_GE(lines.size(), kFileOpCount);
    for (std::size_t k = 0; k < kFileOpCount; ++k) {
      counts[k] = std::stoull(lines[lines.size() - kFileOpCount + k]);
    }
  }
  // Every run starts from a copy of one seeded database.
  TempDir seeded;
  seed_database(seeded.path());
  int crashes = 0;
  for (const FileOp op : {FileOp::kOpen, FileOp::kWrite, FileOp::kSync, FileOp::kTruncate, FileOp::kMap,
                          FileOp::kRename, FileOp::kRemove, FileOp::kAllocate}) {
    const std::uint64_t total = counts[static_cast<std::size_t>(op)];
    for (std::uint64_t nth = 1; nth <= total; ++nth) {
      TempDir dir;
      std::filesystem::copy(seeded.path(), dir.path(), std::filesystem::copy_options::recursive);
      Acknowledged ack;
      if (!run_until_crash(dir.path(), op, nth, ack)) continue;
      ++crashes;
      check_recovered(dir.path(), ack, "op " + std::to_string(static_cast<int>(op)) + " #" + std::to_string(nth));
      if (::testing::Test::HasFailure()) return;
    }
  }
  EXPECT_GT(crashes, 50);
}

}  // namespace
}  // namespace velq
