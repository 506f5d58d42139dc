#include "storage/slots/slot_hash_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace velq {
namespace {

// Every slot stored under `hash`, in the order find() offers them.
std::vector<std::uint32_t> slots_under(const SlotHashTable& table, std::uint64_t hash) {
  std::vector<std::uint32_t> out;
  static_cast<void>(table.find(hash, [&](std::uint32_t slot) {
    out.push_back(slot);
    return false;
  }));
  return out;
}

TEST(SlotHashTable, OneHashKeepsInsertionOrderThroughGrowthAndErase) {
  SlotHashTable table;
  for (std::uint32_t s = 0; s < 100; ++s) table.insert(42, s);  // grows several times
  std::vector<std::uint32_t> expected(100);
  for (std::uint32_t s = 0; s < 100; ++s) expected[s] = s;
  EXPECT_EQ(slots_under(table, 42), expected);

  table.erase(42, 0);
  table.erase(42, 57);
  table.erase(42, 99);
  table.erase(42, 1000);  // absent: no effect
  std::erase(expected, 0u);
  std::erase(expected, 57u);
  std::erase(expected, 99u);
  EXPECT_EQ(slots_under(table, 42), expected);
  EXPECT_EQ(table.size(), 97u);
  EXPECT_EQ(table.find(42, [](std::uint32_t s) { return s > 50; }), 51u);
}

// A model check: random inserts and erases over few hashes (long shared
// runs, wrap-around at the table's end) against a map of ordered lists.
TEST(SlotHashTable, MatchesAnOrderedMultimapModel) {
  std::mt19937_64 rng(7);
  SlotHashTable table;
  std::map<std::uint64_t, std::vector<std::uint32_t>> model;
  std::vector<std::uint64_t> hash_of;
  for (int step = 0; step < 20000; ++step) {
    if (rng() % 3 != 0 || hash_of.empty()) {
      // Hashes chosen so that some share the top bits (same home) too.
      const std::uint64_t hash = (rng() % 4 == 0) ? rng() % 64 : rng();
      const auto slot = static_cast<std::uint32_t>(hash_of.size());
      hash_of.push_back(hash);
      table.insert(hash, slot);
      model[hash].push_back(slot);
    } else {
      const auto slot = static_cast<std::uint32_t>(rng() % hash_of.size());
      table.erase(hash_of[slot], slot);
      std::erase(model[hash_of[slot]], slot);
    }
  }
  std::size_t total = 0;
  for (const auto& [hash, slots] : model) {
    std::vector<std::uint32_t> found;
    for (std::uint32_t s : slots_under(table, hash)) {
      if (hash_of[s] == hash) found.push_back(s);
    }
    ASSERT_EQ(found, slots) << "hash " << hash;
    total += slots.size();
  }
  EXPECT_EQ(table.size(), total);
}

TEST(SlotHashTable, EmptyAndClearedTablesFindNothing) {
  SlotHashTable table;
  EXPECT_FALSE(table.find(1, [](std::uint32_t) { return true; }));
  table.erase(1, 0);
  table.insert(1, 0);
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.find(1, [](std::uint32_t) { return true; }));
}

}  // namespace
}  // namespace velq
