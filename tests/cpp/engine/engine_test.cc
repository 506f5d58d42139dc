// Whole-database behaviour through the engine's interface: create, write,
// close, reopen and compare; recovery of what a killed process logged.
#include "engine/velqor_engine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/db_files.h"
#include "engine/manifest.h"
#include "engine/engine_test_util.h"
#include "engine/slot_layout.h"
#include "storage/io/fault_injection.h"
#include "storage/io/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;

constexpr std::size_t kDim = 16;

EngineOptions options_for(const std::string& dir) {
  EngineOptions o;
  o.storage_uri = dir;
  o.local_dir = dir;
  o.d = kDim;
  o.b = 4;
  return o;
}

VelqorEngine open_ok(const EngineOptions& o) {
  Result<VelqorEngine> engine = VelqorEngine::open_with_options(o);
  if (!engine.ok()) {
    ADD_FAILURE() << engine.error().message();
    std::abort();
  }
  return std::move(engine).value();
}

std::vector<double> vec(int seed) {
  std::mt19937 rng(static_cast<unsigned>(seed));
  std::normal_distribution<double> normal;
  std::vector<double> v(kDim);
  for (double& x : v) x = normal(rng);
  return v;
}

JsonObject props(int i) {
  return JsonObject({JsonMember("i", JsonValue::integer(std::uint64_t(i))),
                     JsonMember("color", JsonValue::string(i % 2 ? "red" : "blue"))});
}

std::string id(int i) { return "id-" + std::to_string(i); }

void insert(VelqorEngine& e, int i) {
  ASSERT_TRUE(e.insert_with_document(id(i), vec(i), props(i), "doc " + std::to_string(i)).ok());
}

void expect_record(const VelqorEngine& e, int i) {
  const auto got = e.get(id(i));
  ASSERT_TRUE(got.ok());
  ASSERT_TRUE(got->has_value()) << id(i);
  EXPECT_EQ((*got)->metadata, props(i)) << id(i);
  EXPECT_EQ((*got)->document, "doc " + std::to_string(i));
}

TEST(Engine, CreateWriteCloseReopen) {
  TempDir dir;
  {
    VelqorEngine e = open_ok(options_for(dir.path()));
    for (int i = 0; i < 10; ++i) insert(e, i);
    EXPECT_EQ(e.insert_with_document(id(3), vec(3), {}, {}).error().message(), "ID 'id-3' already exists");
    EXPECT_EQ(e.update_with_document("nope", vec(3), {}, {}).error().message(), "ID 'nope' does not exist");
    ASSERT_TRUE(e.update_metadata_only(id(4), {}, "new doc").ok());
    EXPECT_EQ(*e.delete_id(id(5)), true);
    EXPECT_EQ(*e.delete_id(id(5)), false);
    const EngineStats s = e.stats();
    EXPECT_EQ(s.vector_count, 9u);
    EXPECT_EQ(s.buffered_vectors, 11u);
    EXPECT_EQ(s.dimension, kDim);
    EXPECT_FALSE(s.has_index);
    ASSERT_TRUE(e.close().ok());
    EXPECT_EQ(e.stats().live_slot_count, 9u);  // compacted at close
  }
  {
    VelqorEngine e = open_ok(options_for(dir.path()));
    for (int i = 0; i < 10; ++i) {
      if (i == 5) {
        EXPECT_FALSE(e.get(id(i))->has_value());
      } else if (i == 4) {
        EXPECT_EQ((*e.get(id(4)))->document, "new doc");
        EXPECT_EQ((*e.get(id(4)))->metadata, props(4));
      } else {
        expect_record(e, i);
      }
    }
    EXPECT_EQ(*e.count_with_filter(nullptr), 9u);
    const EngineStats s = e.stats();
    EXPECT_EQ(s.segment_count, 1u);
    EXPECT_EQ(s.buffered_vectors, 0u);
    EXPECT_EQ(s.metadata_entries, 9u);
  }

  auto mismatch = [&](auto change) {
    EngineOptions o = options_for(dir.path());
    change(o);
    return VelqorEngine::open_with_options(o).error().message();
  };
  EXPECT_EQ(mismatch([](EngineOptions& o) { o.d = 8; }), "dimension mismatch: manifest has d=16, requested d=8");
  EXPECT_EQ(mismatch([](EngineOptions& o) { o.b = 3; }), "bits mismatch: manifest has b=4, requested b=3");
  EXPECT_EQ(mismatch([](EngineOptions& o) { o.metric = DistanceMetric::kL2; }),
            "metric mismatch: manifest has Ip, requested L2");
}

TEST(Engine, DirectoryIsLockedFromOpenUntilTheEngineGoes) {
  TempDir dir;
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  EngineOptions o = options_for(dir.path());
  o.fs = faults;
  std::optional<VelqorEngine> first = open_ok(o);
  insert(*first, 1);  // logged, not flushed: a second engine would replay it
  ASSERT_TRUE(first->close().ok());  // closing keeps the lock
  const std::uint64_t reads = faults->count(FileOp::kRead);
  const std::uint64_t opens = faults->count(FileOp::kOpen);
  const Result<VelqorEngine> second = VelqorEngine::open_with_options(o);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), ErrorKind::kBusy);
  EXPECT_EQ(second.error().message(),
            "database directory '" + dir.path() + "' is open in another process");
  EXPECT_EQ(faults->count(FileOp::kRead), reads);  // refused before reading anything
  EXPECT_EQ(faults->count(FileOp::kOpen), opens);
  first.reset();
  const VelqorEngine again = open_ok(o);
  expect_record(again, 1);
  // A lock that cannot be taken for another reason fails the open too.
  TempDir other;
  faults->arm(FileOp::kLock, 1, FaultInjectingFileSystem::Action::kFail);
  o.local_dir = o.storage_uri = other.path();
  EXPECT_EQ(VelqorEngine::open_with_options(o).error().kind(), ErrorKind::kIo);
}

// What the binding asks the front instead of reading files or the state.
TEST(Engine, FrontAnswersFromTheStoredDatabase) {
  TempDir dir;
  EngineOptions o = options_for(dir.path());
  o.seed = 7;
  o.metric = DistanceMetric::kCosine;
  EXPECT_FALSE(VelqorEngine::holds_database(dir.path()));
  EXPECT_EQ(VelqorEngine::read_stored_parameters(o).error().kind(), ErrorKind::kNotFound);
  {
    VelqorEngine e = open_ok(o);
    EXPECT_EQ(e.dimension(), kDim);
    const StoredParameters p = e.stored_parameters();
    EXPECT_EQ(p.d, kDim);
    EXPECT_EQ(p.b, 4u);
    EXPECT_EQ(p.seed, 7u);
    EXPECT_EQ(p.metric, DistanceMetric::kCosine);
    EXPECT_FALSE(e.refuses_writes());
    EXPECT_TRUE(e.check_matches(o).ok());
    EngineOptions other = o;
    other.metric = DistanceMetric::kIp;
    EXPECT_EQ(e.check_matches(other).error().kind(), ErrorKind::kInvalidArgument);
    EXPECT_FALSE(e.contains(id(1)));
    insert(e, 1);
    EXPECT_TRUE(e.contains(id(1)));
    // Open here: the probe of another opener finds the directory locked.
    EXPECT_EQ(VelqorEngine::read_stored_parameters(o).error().kind(), ErrorKind::kBusy);
  }
  EXPECT_TRUE(VelqorEngine::holds_database(dir.path()));
  EngineOptions reader = options_for(dir.path());
  reader.d = 0;
  const Result<StoredParameters> stored = VelqorEngine::read_stored_parameters(reader);
  ASSERT_TRUE(stored.ok()) << stored.error().message();
  EXPECT_EQ(stored->seed, 7u);
  EXPECT_EQ(stored->metric, DistanceMetric::kCosine);

  EXPECT_EQ(*VelqorEngine::local_directory("file://" + dir.path(), ""), dir.path());
  EXPECT_EQ(*VelqorEngine::local_directory(dir.path(), "c"), (dir / "c"));
  EXPECT_EQ(VelqorEngine::local_directory("s3://bucket/x", "").error().kind(),
            ErrorKind::kNotSupported);
}

// The index's parameters reach manifest.json through the index: kept across
// a reopen while the index stands, written as absent once it is dropped.
TEST(Engine, ManifestCarriesTheIndexStateOfTheIndex) {
  TempDir dir;
  const EngineOptions o = options_for(dir.path());
  const auto stored_index = [&] {
    const auto bytes = read_file(*local_file_system(), dir / std::string(db_files::kManifest));
    return Manifest::parse(*bytes)->index_state;
  };
  {
    VelqorEngine e = open_ok(o);
    for (int i = 0; i < 40; ++i) insert(e, i);
    ASSERT_TRUE(e.create_index_with_params({8, 24, 16, 1, 1.2}).ok());
  }
  ASSERT_TRUE(stored_index().has_value());
  EXPECT_EQ(stored_index()->indexed_nodes, 40u);
  {
    VelqorEngine e = open_ok(o);
    EXPECT_TRUE(e.stats().has_index);
    ASSERT_TRUE(e.close().ok());
    EXPECT_EQ(stored_index()->indexed_nodes, 40u);
    ASSERT_TRUE(*e.delete_id(id(3)));
    ASSERT_TRUE(e.close().ok());
  }
  EXPECT_FALSE(stored_index().has_value());
  EXPECT_FALSE(open_ok(o).stats().has_index);
}

TEST(Engine, FlushCompactsAndRenumbers) {
  TempDir dir;
  VelqorEngine e = open_ok(options_for(dir.path()));
  for (int i = 0; i < 3; ++i) insert(e, i);
  ASSERT_TRUE(*e.delete_id(id(1)));
  ASSERT_TRUE(e.flush_wal_to_segment().ok());
  EXPECT_EQ(e.stats().live_slot_count, 2u);
  EXPECT_EQ(EngineInternals::of(e).id_pool.get_slot(id(2)), 1u);
  EXPECT_EQ(EngineInternals::of(e).metadata.get(1)->properties, props(2));
  EXPECT_FALSE(EngineInternals::of(e).needs_compaction);
  expect_record(e, 0);
  expect_record(e, 2);
  // A deleted id written again takes a new slot.
  insert(e, 1);
  EXPECT_EQ(EngineInternals::of(e).id_pool.get_slot(id(1)), 2u);
}

TEST(Engine, FlushAtExactlyTheThreshold) {
  TempDir dir;
  EngineOptions o = options_for(dir.path());
  o.wal_flush_threshold = 4;
  VelqorEngine e = open_ok(o);
  for (int i = 0; i < 3; ++i) insert(e, i);
  EXPECT_EQ(e.stats().buffered_vectors, 3u);
  insert(e, 3);
  EXPECT_EQ(e.stats().buffered_vectors, 0u);
  EXPECT_EQ(e.stats().segment_count, 1u);
  insert(e, 4);
  EXPECT_EQ(e.stats().buffered_vectors, 1u);
}

TEST(Engine, ReadsAndListings) {
  TempDir dir;
  VelqorEngine e = open_ok(options_for(dir.path()));
  for (int i = 0; i < 5; ++i) insert(e, i);
  const auto many = *e.get_many({id(1), "missing", id(1)});
  ASSERT_EQ(many.size(), 3u);
  EXPECT_TRUE(many[0].has_value() && many[2].has_value());
  EXPECT_FALSE(many[1].has_value());
  EXPECT_EQ(*e.list_with_filter_page(nullptr, 2, 2), (std::vector<std::string>{id(2), id(3)}));
  const JsonObject red({JsonMember("color", JsonValue::string("red"))});
  EXPECT_EQ(*e.count_with_filter(&red), 2u);
  EXPECT_EQ(*e.list_with_filter_page(&red, std::nullopt, 1), std::vector<std::string>{id(3)});
  EXPECT_TRUE(e.list_with_filter_page(&red, 0, 0)->empty());
  const auto colors = *e.list_metadata_values("color");
  EXPECT_EQ(colors.at("red"), 2u);
  EXPECT_EQ(colors.at("blue"), 3u);
  const auto numbers = *e.list_metadata_values("i");
  EXPECT_EQ(numbers.at("4"), 1u);
  EXPECT_EQ(*e.delete_where(red), 2u);
  EXPECT_EQ(*e.count_with_filter(nullptr), 3u);
}

TEST(Engine, BatchModes) {
  TempDir dir;
  VelqorEngine e = open_ok(options_for(dir.path()));
  auto item = [](int i) {
    const std::vector<double> v = vec(i);
    return BatchWriteItem{id(i), std::vector<float>(v.begin(), v.end()), props(i), std::nullopt};
  };
  ASSERT_TRUE(e.insert_many_with_mode({item(0), item(1)}, WriteMode::kInsert).ok());
  EXPECT_EQ(e.insert_many_with_mode({item(2), item(1)}, WriteMode::kInsert).error().message(),
            "ID 'id-1' already exists");
  EXPECT_FALSE(e.get(id(2))->has_value());  // the failed chunk wrote nothing
  EXPECT_EQ(e.insert_many_with_mode({item(7)}, WriteMode::kUpdate).error().message(),
            "ID 'id-7' does not exist");
  BatchWriteItem second = item(0);
  second.metadata = props(9);
  ASSERT_TRUE(e.insert_many_with_mode({item(0), second}, WriteMode::kUpsert).ok());
  EXPECT_EQ((*e.get(id(0)))->metadata, props(9));
  EXPECT_EQ(e.stats().live_slot_count, 2u);
}

// A process killed without close loses nothing it was told was written: the
// next open replays the log, flushes it, and finds every record.
TEST(Engine, ReplayAfterAKilledProcess) {
  TempDir dir;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<VelqorEngine> e = VelqorEngine::open_with_options(options_for(dir.path()));
    if (!e.ok()) ::_exit(1);
    for (int i = 0; i < 20; ++i) {
      if (!e->insert_with_document(id(i), vec(i), props(i), "doc " + std::to_string(i)).ok()) ::_exit(2);
      if (i == 9 && !e->flush_wal_to_segment().ok()) ::_exit(3);
    }
    if (!e->delete_id(id(3)).ok() || !e->delete_id(id(15)).ok()) ::_exit(4);
    ::_exit(0);  // no close: the log holds what was not flushed
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  VelqorEngine e = open_ok(options_for(dir.path()));
  for (int i = 0; i < 20; ++i) {
    if (i == 3 || i == 15) {
      EXPECT_FALSE(e.get(id(i))->has_value()) << i;
    } else {
      expect_record(e, i);
    }
  }
  EXPECT_EQ(e.stats().buffered_vectors, 0u);
  EXPECT_EQ(e.stats().live_slot_count, 18u);  // the replayed deletions were compacted
  EXPECT_EQ(read_file(*local_file_system(), dir / "wal.log")->size(), 8u);
}

// The raw vectors a killed process wrote are still in live_vectors.bin; replay
// keeps them (they re-quantize to the logged codes) instead of writing the
// codes' approximation over them.
TEST(Engine, ReplayKeepsExactRawVectors) {
  TempDir dir;
  EngineOptions o = options_for(dir.path());
  o.rerank_precision = RerankPrecision::kF32;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<VelqorEngine> e = VelqorEngine::open_with_options(o);
    if (!e.ok()) ::_exit(1);
    for (int i = 0; i < 6; ++i) {
      if (!e->write_vector_entry(id(i), vec(i), props(i), std::nullopt).ok()) ::_exit(2);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  VelqorEngine e = open_ok(o);
  for (int i = 0; i < 6; ++i) {
    const std::uint32_t slot = *EngineInternals::of(e).id_pool.get_slot(id(i));
    std::vector<float> raw(kDim);
    read_raw_vector(RerankPrecision::kF32, EngineInternals::of(e).live_vectors->slot(slot), raw);
    for (std::size_t k = 0; k < kDim; ++k) EXPECT_EQ(raw[k], static_cast<float>(vec(i)[k])) << i;
  }
}

// When the raw vectors are lost with the process, replay writes the codes'
// approximation instead; near the top of the f16 range it may stray past
// 65504, and it must then saturate rather than become infinite.
TEST(Engine, ReplayedF16RawVectorsStayFinite) {
  TempDir dir;
  EngineOptions o = options_for(dir.path());
  o.rerank_precision = RerankPrecision::kF16;
  constexpr int kRecords = 12;
  const auto big = [](int i) {
    std::vector<double> v = vec(i);
    double top = 0;
    for (const double x : v) top = std::max(top, std::fabs(x));
    for (double& x : v) x *= 65504.0 / top;
    return v;
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<VelqorEngine> e = VelqorEngine::open_with_options(o);
    if (!e.ok()) ::_exit(1);
    for (int i = 0; i < kRecords; ++i) {
      if (!e->write_vector_entry(id(i), big(i), props(i), std::nullopt).ok()) ::_exit(2);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string vectors = dir / "live_vectors.bin";
  const std::vector<std::uint8_t> zeros(read_file(*local_file_system(), vectors)->size(), 0);
  ASSERT_TRUE(write_file_atomic(*local_file_system(), vectors, zeros).ok());

  VelqorEngine e = open_ok(o);
  for (int i = 0; i < kRecords; ++i) {
    const std::uint32_t slot = *EngineInternals::of(e).id_pool.get_slot(id(i));
    std::vector<float> raw(kDim);
    read_raw_vector(RerankPrecision::kF16, EngineInternals::of(e).live_vectors->slot(slot), raw);
    for (const float x : raw) EXPECT_LE(std::fabs(x), 65504.0f) << i;
  }
}

TEST(Engine, DamagedOrMissingIdPool) {
  TempDir dir;
  {
    VelqorEngine e = open_ok(options_for(dir.path()));
    for (int i = 0; i < 4; ++i) insert(e, i);
    ASSERT_TRUE(e.close().ok());
  }
  const std::string ids = dir / "live_ids.bin";
  const std::vector<std::uint8_t> good = *read_file(*local_file_system(), ids);
  // Damaged: refused, and nothing is touched.
  std::vector<std::uint8_t> damaged(good.begin(), good.begin() + good.size() / 2);
  ASSERT_TRUE(write_file_atomic(*local_file_system(), ids, damaged).ok());
  const auto refused = VelqorEngine::open_with_options(options_for(dir.path()));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kCorruption);
  EXPECT_EQ(*read_file(*local_file_system(), ids), damaged);
  // Missing with an empty log: the state cannot be rebuilt.
  std::filesystem::remove(ids);
  EXPECT_EQ(VelqorEngine::open_with_options(options_for(dir.path())).error().message(),
            "live_ids.bin missing and WAL is empty; database state appears corrupt");
  ASSERT_TRUE(write_file_atomic(*local_file_system(), ids, good).ok());
  VelqorEngine e = open_ok(options_for(dir.path()));
  for (int i = 0; i < 4; ++i) expect_record(e, i);
}

// Every file of a directory with its bytes.
std::map<std::string, std::vector<std::uint8_t>> files_in(const std::string& dir) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    files[entry.path().filename().string()] = *read_file(*local_file_system(), entry.path().string());
  }
  return files;
}

// An open that would lose flushed records is refused, naming the file at
// fault, before it writes, syncs, cuts, renames or removes anything.
TEST(Engine, RefusedOpensChangeNoFile) {
  struct Case {
    int logged;  // writes left in the log after 6 flushed ones
    std::string file;
    std::function<void(const std::string&)> damage;
  };
  const auto remove = [](const std::string& path) { std::filesystem::remove(path); };
  const auto zero = [](const std::string& path) {
    const std::size_t size = std::filesystem::file_size(path);
    ASSERT_TRUE(write_file_atomic(*local_file_system(), path, std::vector<std::uint8_t>(size)).ok());
  };
  // With more logged writes than flushed ones, only the segments show a loss.
  const Case cases[] = {{1, "live_ids.bin", remove}, {10, "live_ids.bin", remove},
                        {0, "live_ids.bin", zero},   {10, "live_ids.bin", zero},
                        {0, "metadata.bin", remove}, {1, "metadata.bin", remove}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " with " + std::to_string(c.logged) + " logged");
    TempDir dir;
    {
      VelqorEngine e = open_ok(options_for(dir.path()));
      for (int i = 0; i < 6; ++i) insert(e, i);
      ASSERT_TRUE(e.close().ok());
      for (int i = 6; i < 6 + c.logged; ++i) insert(e, i);
    }
    c.damage(dir / c.file);
    const auto before = files_in(dir.path());
    EngineOptions o = options_for(dir.path());
    const auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
    o.fs = faults;
    const Result<VelqorEngine> refused = VelqorEngine::open_with_options(o);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), ErrorKind::kCorruption);
    EXPECT_EQ(refused.error().message().rfind(c.file, 0), 0u) << refused.error().message();
    for (const FileOp op : {FileOp::kWrite, FileOp::kSync, FileOp::kTruncate, FileOp::kRename}) {
      EXPECT_EQ(faults->count(op), 0u) << static_cast<int>(op);
    }
    EXPECT_EQ(files_in(dir.path()), before);
  }
}

}  // namespace
}  // namespace velq
