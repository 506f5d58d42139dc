#include "engine/engine_index.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/panic.h"
#include "engine/db_files.h"
#include "engine/engine_test_util.h"

namespace velq {
namespace {

using Slots = std::vector<std::uint32_t>;

Slots delta_of(const EngineIndex& index) { return {index.delta().begin(), index.delta().end()}; }

class IndexOwner : public ::testing::Test {
 protected:
  // An index as read back at open, over a graph file that does not exist.
  EngineIndex read_back(Slots nodes, Slots delta, std::optional<IndexState> params) {
    return EngineIndex(GraphManager::open(backend_, dir_.path()).value(), std::move(nodes),
                       std::move(delta), params);
  }

  // The files write_lists wrote, by name, and a writer that fails while
  // `fail_` is set.
  EngineIndex::ListWriter writer() {
    return [this](std::string_view name, std::span<const std::uint8_t> bytes) -> Status {
      if (fail_) return Error::io("disk full");
      written_[std::string(name)] = std::string(bytes.begin(), bytes.end());
      return ok_status();
    };
  }

  testing::TempDir dir_;
  std::shared_ptr<const StorageBackend> backend_ =
      StorageBackend::from_uri(dir_.path(), local_file_system()).value();
  std::map<std::string, std::string> written_;
  bool fail_ = false;
};

TEST_F(IndexOwner, WrittenSlotsJoinTheDeltaOnlyWhileIndexed) {
  EngineIndex none = read_back({}, {}, std::nullopt);
  const Slots some{4, 1};
  none.note_written(some);
  EXPECT_TRUE(none.delta().empty());
  EXPECT_FALSE(none.lists_changed());

  EngineIndex index = read_back({0, 1, 2}, {5}, IndexState{.indexed_nodes = 3});
  const Slots written{9, 1, 9, 3};
  index.note_written(written);
  EXPECT_EQ(delta_of(index), (Slots{1, 3, 5, 9}));  // ascending, once each
  EXPECT_TRUE(index.in_delta(9));
  EXPECT_FALSE(index.in_delta(2));
  EXPECT_TRUE(index.lists_changed());
  ASSERT_TRUE(index.write_lists(writer()).ok());
  // Slots already listed change nothing and mark nothing.
  const Slots again{3, 1};
  index.note_written(again);
  EXPECT_FALSE(index.lists_changed());
}

TEST_F(IndexOwner, UsableOnlyWhenGraphListAndCountAgree) {
  // A list and a count, but no graph mapped.
  const EngineIndex no_graph = read_back({0, 1}, {}, IndexState{.indexed_nodes = 2});
  EXPECT_FALSE(no_graph.has_graph());
  EXPECT_FALSE(no_graph.usable());
  EXPECT_EQ(no_graph.road(1'000'000, true), SearchRoad::kScan);
  EXPECT_EQ(no_graph.slot_of_node(1), 1u);
  EXPECT_THROW((void)no_graph.slot_of_node(2), Panic);
}

TEST_F(IndexOwner, DropKeepsTheDeltaAndSetAsideForgetsIt) {
  EngineIndex index = read_back({0, 1, 2}, {1}, IndexState{.indexed_nodes = 3});
  index.drop();
  EXPECT_TRUE(index.node_slots().empty());
  EXPECT_FALSE(index.params().has_value());
  EXPECT_EQ(delta_of(index), Slots{1});
  // Dropped, a write is no longer a delta slot.
  const Slots written{7};
  index.note_written(written);
  EXPECT_EQ(delta_of(index), Slots{1});

  index.set_aside();
  EXPECT_TRUE(index.delta().empty());
  ASSERT_TRUE(index.write_lists(writer()).ok());
  EXPECT_EQ(written_[std::string(db_files::kGraphIds)], "[]");
  EXPECT_EQ(written_[std::string(db_files::kDeltaIds)], "[]");
}

TEST_F(IndexOwner, AListStaysMarkedUntilItsWriteSucceeds) {
  EngineIndex index = read_back({0, 1}, {}, IndexState{.indexed_nodes = 2});
  const Slots written{1, 6};
  index.note_written(written);
  fail_ = true;
  EXPECT_EQ(index.write_lists(writer()).error().kind(), ErrorKind::kIo);
  EXPECT_TRUE(index.lists_changed());
  fail_ = false;
  ASSERT_TRUE(index.write_lists(writer()).ok());
  EXPECT_FALSE(index.lists_changed());
  // Only the list that changed was written.
  EXPECT_EQ(written_.size(), 1u);
  EXPECT_EQ(written_[std::string(db_files::kDeltaIds)], "[\n  1,\n  6\n]");
}

}  // namespace
}  // namespace velq
