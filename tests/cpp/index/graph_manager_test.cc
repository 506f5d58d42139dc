#include "index/graph_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>

#include "storage/io/file_io.h"
#include "index/graph_test_util.h"
#include "storage/io/fault_injection.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;
using testing::UnitVectors;

std::shared_ptr<const StorageBackend> backend_at(const std::string& root) {
  auto backend = StorageBackend::from_uri(root, local_file_system());
  EXPECT_TRUE(backend.ok());
  return *backend;
}

GraphManager open_ok(std::shared_ptr<const StorageBackend> backend, const std::string& dir) {
  auto manager = GraphManager::open(std::move(backend), dir);
  EXPECT_TRUE(manager.ok()) << manager.error().message();
  return std::move(manager).value();
}

// Every list of every node at levels 0 .. 5, in node-major order.
std::vector<std::vector<std::uint32_t>> all_lists(const GraphManager& graph) {
  std::vector<std::vector<std::uint32_t>> out;
  for (std::uint32_t node = 0; node < graph.n_nodes(); ++node) {
    for (std::uint32_t level = 0; level < graph_format::kLevelCount; ++level) {
      auto list = graph.get_neighbors_at_level(node, level);
      EXPECT_TRUE(list.ok()) << list.error().message();
      out.push_back(list.ok() ? *list : std::vector<std::uint32_t>{});
    }
  }
  return out;
}

std::vector<std::uint8_t> file_bytes(const std::string& path) {
  auto bytes = read_file(*local_file_system(), path);
  EXPECT_TRUE(bytes.ok());
  return bytes.ok() ? *bytes : std::vector<std::uint8_t>{};
}

TEST(GraphManager, OpensUnloadedWithoutAStoredGraph) {
  TempDir dir;
  const GraphManager graph = open_ok(backend_at(dir / "remote"), dir / "local");
  EXPECT_FALSE(graph.is_mapped());
  EXPECT_EQ(graph.n_nodes(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "local"));
  EXPECT_EQ(graph.get_neighbors_at_level(0, 0).error().message(), "Graph not loaded");
  EXPECT_TRUE(graph.search(5, 5, [](std::uint32_t) { return 1.0; }, std::nullopt).empty());
}

TEST(GraphManager, BuildWritesBothCopiesAndReopens) {
  TempDir dir;
  const auto backend = backend_at(dir / "remote");
  ASSERT_TRUE(local_file_system()->create_directories(dir / "local").ok());
  GraphManager graph = open_ok(backend, dir / "local");
  const UnitVectors vectors(600, 8, 3);
  ASSERT_TRUE(graph.build(600, 8, 32, 2, vectors.build_scorer(), 1.2).ok());
  EXPECT_TRUE(graph.is_loaded());
  EXPECT_EQ(graph.n_nodes(), 600u);
  const auto local = file_bytes(dir / "local/graph.bin");
  EXPECT_EQ(local, file_bytes(dir / "remote/graph.bin"));

  // A stale local copy is replaced by the provider's at open.
  ASSERT_TRUE(local_file_system()->create_directories(dir / "other").ok());
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "other/graph.bin", testing::bytes_of("stale")).ok());
  const GraphManager reopened = open_ok(backend, dir / "other");
  EXPECT_EQ(file_bytes(dir / "other/graph.bin"), local);
  EXPECT_EQ(reopened.entry_point(), graph.entry_point());
  EXPECT_EQ(reopened.max_level(), graph.max_level());
  EXPECT_EQ(all_lists(reopened), all_lists(graph));
  EXPECT_EQ(reopened.get_neighbors_at_level(600, 0).error().message(), "OOR");

  // Without reverse edges a node may have no way in, so the answer is
  // compared with the original's rather than expected to hold node 17.
  const auto hits = reopened.search(5, 32, vectors.query_scorer(vectors.at(17)), std::nullopt);
  const auto original = graph.search(5, 32, vectors.query_scorer(vectors.at(17)), std::nullopt);
  ASSERT_EQ(hits.size(), 5u);
  for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].node, original[i].node);
}

TEST(GraphManager, EmptyBuildIsMappedButNotLoaded) {
  TempDir dir;
  GraphManager graph = open_ok(backend_at(dir.path()), dir.path());  // provider root = local dir
  ASSERT_TRUE(graph.build(0, 32, 200, 5, UnitVectors(1, 8, 1).build_scorer(), 0).ok());
  EXPECT_TRUE(graph.is_mapped());
  EXPECT_FALSE(graph.is_loaded());
  EXPECT_EQ(file_bytes(dir / "graph.bin").size(), 24u);
  EXPECT_TRUE(open_ok(backend_at(dir.path()), dir.path()).is_mapped());
}

TEST(GraphManager, IncrementalBuildGrowsTheFile) {
  TempDir dir;
  GraphManager graph = open_ok(backend_at(dir.path()), dir.path());
  const UnitVectors vectors(700, 8, 4);
  std::atomic<int> calls = 0;
  const BuildScorer counted = [&](std::uint32_t node, std::span<const std::uint32_t> c) {
    ++calls;
    return vectors.build_scorer()(node, c);
  };

  // An empty graph grows by a full build.
  ASSERT_TRUE(graph.build_incremental(500, 8, 32, 2, counted, 0).ok());
  EXPECT_EQ(graph.n_nodes(), 500u);
  const auto old_lists = all_lists(graph);
  const auto old_file = file_bytes(dir / "graph.bin");

  calls = 0;
  ASSERT_TRUE(graph.build_incremental(500, 8, 32, 2, counted, 0).ok());
  ASSERT_TRUE(graph.build_incremental(10, 8, 32, 2, counted, 0).ok());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(file_bytes(dir / "graph.bin"), old_file);

  ASSERT_TRUE(graph.build_incremental(700, 8, 32, 2, counted, 0).ok());
  EXPECT_EQ(graph.n_nodes(), 700u);
  const auto new_lists = all_lists(graph);
  for (std::size_t i = 0; i < old_lists.size(); ++i) {
    // Old lists only gain new nodes or lose old ones to a re-prune.
    for (const std::uint32_t v : new_lists[i]) {
      if (v < 500) {
        EXPECT_TRUE(std::binary_search(old_lists[i].begin(), old_lists[i].end(), v));
      }
    }
  }
}

TEST(GraphManager, IncrementalBuildSurvivesADamagedFile) {
  TempDir dir;
  GraphManager graph = open_ok(backend_at(dir.path()), dir.path());
  const UnitVectors vectors(300, 8, 5);
  ASSERT_TRUE(graph.build(200, 8, 32, 1, vectors.build_scorer(), 0).ok());

  // Entry point outside the graph and node 3's record running past the end.
  auto bytes = file_bytes(dir / "graph.bin");
  const std::uint32_t bad_entry = 1000;
  std::memcpy(bytes.data() + 8, &bad_entry, 4);
  const std::uint64_t far = 1ull << 40;
  std::memcpy(bytes.data() + 16 + 8 * 4, &far, 8);
  ASSERT_TRUE(write_file_atomic(*local_file_system(), dir / "graph.bin", bytes).ok());
  graph = open_ok(backend_at(dir.path()), dir.path());
  EXPECT_TRUE(graph.search(5, 16, vectors.query_scorer(vectors.at(0)), std::nullopt).empty());
  EXPECT_FALSE(graph.get_neighbors_at_level(3, 0).ok());

  ASSERT_TRUE(graph.build_incremental(300, 8, 32, 1, vectors.build_scorer(), 0).ok());
  EXPECT_LT(graph.entry_point(), 300u);
  for (const auto& list : all_lists(graph)) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  }
  EXPECT_FALSE(graph.search(5, 16, vectors.query_scorer(vectors.at(0)), std::nullopt).empty());
}

TEST(GraphManager, FailedRebuildKeepsTheOldGraph) {
  TempDir dir;
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  auto backend = StorageBackend::from_uri(dir / "remote", faults);
  ASSERT_TRUE(backend.ok());
  ASSERT_TRUE(faults->create_directories(dir / "local").ok());
  GraphManager graph = open_ok(*backend, dir / "local");
  const UnitVectors vectors(300, 8, 6);
  ASSERT_TRUE(graph.build(200, 8, 16, 1, vectors.build_scorer(), 0).ok());
  const auto lists = all_lists(graph);
  const auto hits = graph.search(5, 16, vectors.query_scorer(vectors.at(7)), std::nullopt);

  // Each step of writing the new file fails in turn, first for the local
  // copy, then for the provider's; searches keep the graph they had.
  struct Step { FileOp op; std::uint64_t nth; };
  for (const Step step : {Step{FileOp::kOpen, 1}, Step{FileOp::kWrite, 1}, Step{FileOp::kRename, 1},
                          Step{FileOp::kOpen, 2}, Step{FileOp::kWrite, 2}, Step{FileOp::kRename, 2},
                          Step{FileOp::kMap, 1}}) {
    for (const bool incremental : {false, true}) {
      faults->arm(step.op, step.nth, FaultInjectingFileSystem::Action::kFail);
      const Status built = incremental
                               ? graph.build_incremental(300, 8, 16, 1, vectors.build_scorer(), 0)
                               : graph.build(300, 8, 16, 1, vectors.build_scorer(), 0);
      faults->disarm();
      ASSERT_FALSE(built.ok()) << static_cast<int>(step.op) << " #" << step.nth;
      EXPECT_EQ(built.error().kind(), ErrorKind::kIo);
      EXPECT_EQ(graph.n_nodes(), 200u);
      EXPECT_EQ(all_lists(graph), lists);
      const auto again = graph.search(5, 16, vectors.query_scorer(vectors.at(7)), std::nullopt);
      ASSERT_EQ(again.size(), hits.size());
      for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(again[i].node, hits[i].node);
    }
  }
  ASSERT_TRUE(graph.build_incremental(300, 8, 16, 1, vectors.build_scorer(), 0).ok());
  EXPECT_EQ(graph.n_nodes(), 300u);

  GraphManager nowhere = open_ok(backend_at(dir / "remote2"), dir / "missing/dir");
  EXPECT_FALSE(nowhere.build(50, 8, 16, 1, vectors.build_scorer(), 0).ok());
  EXPECT_FALSE(nowhere.is_mapped());
  EXPECT_EQ(nowhere.n_nodes(), 0u);
}

// A larger alpha relaxes the diversity rule, so lists keep more neighbours;
// the builder receives the caller's value.
TEST(GraphManager, AlphaReachesTheBuild) {
  TempDir dir;
  const UnitVectors vectors(400, 16, 9);
  auto edges_with = [&](double alpha) {
    GraphManager graph = open_ok(backend_at(dir.path()), dir.path());
    EXPECT_TRUE(graph.build(400, 16, 64, 2, vectors.build_scorer(), alpha).ok());
    std::size_t edges = 0;
    for (const auto& list : all_lists(graph)) edges += list.size();
    return edges;
  };
  EXPECT_GT(edges_with(4.0), edges_with(1.0) + 400);
}

TEST(GraphManager, UnreadableGraphIsAnErrorNotAbsence) {
  TempDir dir;
  // A directory where graph.bin belongs, then a read that fails.
  std::filesystem::create_directories(dir / "remote/graph.bin");
  const auto opened = GraphManager::open(backend_at(dir / "remote"), dir / "local");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), ErrorKind::kIo);

  TempDir other;
  GraphManager graph = open_ok(backend_at(other.path()), other.path());
  ASSERT_TRUE(graph.build(20, 4, 8, 1, UnitVectors(20, 8, 1).build_scorer(), 0).ok());
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  faults->arm(FileOp::kRead, 1, FaultInjectingFileSystem::Action::kFail);
  const auto failed = GraphManager::open(*StorageBackend::from_uri(other.path(), faults), other.path());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
}

}  // namespace
}  // namespace velq
