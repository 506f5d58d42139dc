#include "storage/metadata/slot_list.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/metadata/key_table.h"

namespace velq {
namespace {

std::vector<std::uint32_t> items(const SlotList& list) { return {list.view().begin(), list.view().end()}; }

TEST(SlotList, MatchesAnOrderedSetThroughInlineAndHeapStorage) {
  std::mt19937 rng(3);
  SlotList list;
  std::set<std::uint32_t> model;
  for (int step = 0; step < 5000; ++step) {
    const std::uint32_t slot = rng() % 64;
    if (rng() % 3 == 0) {
      list.erase(slot);
      model.erase(slot);
    } else {
      list.insert(slot);
      model.insert(slot);
    }
    ASSERT_EQ(items(list), std::vector<std::uint32_t>(model.begin(), model.end())) << "step " << step;
  }
  SlotList moved = std::move(list);
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_EQ(items(moved), std::vector<std::uint32_t>(model.begin(), model.end()));
}

TEST(KeyTable, FindsEveryKeyAcrossGrowth) {
  KeyTable table;
  EXPECT_EQ(table.find("s:x"), nullptr);
  for (std::uint32_t i = 0; i < 10000; ++i) table.get_or_add("s:key number " + std::to_string(i)).insert(i);
  table.shrink_to_fit();
  for (std::uint32_t i = 0; i < 10000; ++i) {
    const SlotList* list = table.find("s:key number " + std::to_string(i));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(items(*list), std::vector<std::uint32_t>{i});
  }
  EXPECT_EQ(table.find("s:key number 10000"), nullptr);
  table.get_or_add("s:key number 7").insert(3);
  EXPECT_EQ(items(*table.find("s:key number 7")), (std::vector<std::uint32_t>{3, 7}));
}

TEST(KeyTable, ErasedKeysGoAndTheRestStayFound) {
  // Keys come and go at random, so removals land inside long probe runs and
  // move the last entry; every lookup must still agree with an ordered map.
  std::mt19937 rng(11);
  KeyTable table;
  std::map<std::string, std::set<std::uint32_t>> model;
  for (int step = 0; step < 40000; ++step) {
    const std::string key = "i:" + std::to_string(rng() % 3000);
    const std::uint32_t slot = rng() % 4;
    if (rng() % 2 == 0) {
      table.get_or_add(key).insert(slot);
      model[key].insert(slot);
    } else {
      table.erase(key, slot);
      if (const auto it = model.find(key); it != model.end() && it->second.erase(slot) && it->second.empty()) {
        model.erase(it);
      }
    }
    if (step % 4000 != 3999) continue;
    ASSERT_EQ(table.size(), model.size()) << "step " << step;
    for (std::uint32_t k = 0; k < 3000; ++k) {
      const std::string probe = "i:" + std::to_string(k);
      const SlotList* list = table.find(probe);
      const auto it = model.find(probe);
      ASSERT_EQ(list != nullptr, it != model.end()) << probe;
      if (list) {
        ASSERT_EQ(items(*list), std::vector<std::uint32_t>(it->second.begin(), it->second.end()));
      }
    }
  }
  table.erase("i:absent", 0);  // nothing to take out
  for (const auto& [key, slots] : model) {
    for (const std::uint32_t slot : slots) table.erase(key, slot);
  }
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
}  // namespace velq
