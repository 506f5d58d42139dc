#include "storage/graph/graph_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>

#include "storage/io/file_io.h"
#include "graph_test_util.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;
using testing::UnitVectors;

// A provider over a local root whose writes always fail.
class ReadOnlyProvider final : public StorageProvider {
 public:
  explicit ReadOnlyProvider(std::string root) : local_(std::move(root)) {}
  Result<std::vector<std::uint8_t>> read(const std::string& key) const override {
    return local_.read(key);
  }
  Status write(const std::string&, std::span<const std::uint8_t>) const override {
    return Error("read-only provider");
  }
  Result<std::vector<std::string>> list(const std::string& prefix) const override {
    return local_.list(prefix);
  }
  Status remove(const std::string& key) const override { return local_.remove(key); }
  bool exists(const std::string& key) const override { return local_.exists(key); }
  Result<std::uint64_t> size(const std::string& key) const override { return local_.size(key); }
  Status rename(const std::string& from, const std::string& to) const override {
    return local_.rename(from, to);
  }
  std::optional<std::string> file_path(const std::string&) const override { return std::nullopt; }

 private:
  LocalProvider local_;
};

std::shared_ptr<const StorageBackend> backend_at(const std::string& root) {
  auto backend = StorageBackend::from_uri(root);
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
  auto bytes = read_file(path);
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
  ASSERT_TRUE(create_directories(dir / "local").ok());
  GraphManager graph = open_ok(backend, dir / "local");
  const UnitVectors vectors(600, 8, 3);
  ASSERT_TRUE(graph.build(600, 8, 32, 2, vectors.build_scorer(), 1.2).ok());
  EXPECT_TRUE(graph.is_loaded());
  EXPECT_EQ(graph.n_nodes(), 600u);
  const auto local = file_bytes(dir / "local/graph.bin");
  EXPECT_EQ(local, file_bytes(dir / "remote/graph.bin"));

  // A stale local copy is replaced by the provider's at open.
  ASSERT_TRUE(create_directories(dir / "other").ok());
  ASSERT_TRUE(write_file_atomic(dir / "other/graph.bin", testing::bytes_of("stale")).ok());
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
  ASSERT_TRUE(write_file_atomic(dir / "graph.bin", bytes).ok());
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

TEST(GraphManager, FailedWritesLeaveTheGraphUnloaded) {
  TempDir dir;
  const UnitVectors vectors(50, 8, 6);
  auto read_only = std::make_shared<const StorageBackend>(
      dir / "remote", std::make_unique<ReadOnlyProvider>(dir / "remote"));
  ASSERT_TRUE(create_directories(dir / "local").ok());
  GraphManager graph = open_ok(read_only, dir / "local");
  const Status provider_failed = graph.build(50, 8, 16, 1, vectors.build_scorer(), 0);
  ASSERT_FALSE(provider_failed.ok());
  EXPECT_EQ(provider_failed.error().message(), "read-only provider");
  EXPECT_FALSE(graph.is_mapped());
  EXPECT_EQ(graph.n_nodes(), 50u);  // counts are set before the provider write
  EXPECT_TRUE(graph.search(5, 5, vectors.query_scorer(vectors.at(0)), std::nullopt).empty());

  GraphManager nowhere = open_ok(backend_at(dir / "remote2"), dir / "missing/dir");
  EXPECT_FALSE(nowhere.build(50, 8, 16, 1, vectors.build_scorer(), 0).ok());
  EXPECT_FALSE(nowhere.is_mapped());
  EXPECT_EQ(nowhere.n_nodes(), 0u);
}

}  // namespace
}  // namespace velq
