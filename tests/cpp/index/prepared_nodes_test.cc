// The index build's store of per-node preparations: one preparation per node
// however many pool threads ask at once while the set fits its budget, the
// per-thread last node beyond it, and the same values either way.
#include "index/prepared_nodes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "common/panic.h"
#include "common/worker_pool.h"

namespace velq {
namespace {

struct Square {
  std::vector<std::uint64_t> value;
};

// Every node asked `rounds` times from the pool, in a scattered order;
// returns how often make() ran and whether every answer was right.
std::pair<int, bool> ask_all(const PreparedNodes<Square>& prepared, std::uint32_t n, int rounds) {
  std::atomic<int> made{0};
  std::atomic<bool> right{true};
  parallel_for_each(n * rounds, 3, [&](std::size_t i) {
    const auto node = static_cast<std::uint32_t>(i * 7919 % n);
    const Square& s = prepared.get(node, [&] {
      ++made;
      return Square{{std::uint64_t{node} * node}};
    });
    if (s.value != std::vector<std::uint64_t>{std::uint64_t{node} * node}) right = false;
  });
  return {made.load(), right.load()};
}

TEST(PreparedNodes, EachNodeIsPreparedOnceWithinTheBudget) {
  const PreparedNodes<Square> prepared(500, 64, 500 * 64);
  ASSERT_TRUE(prepared.keeps_all());
  const auto [made, right] = ask_all(prepared, 500, 6);
  EXPECT_EQ(made, 500);
  EXPECT_TRUE(right);
  // A copy (the scorer is copied into the builder) shares the store.
  const PreparedNodes<Square> copy = prepared;
  EXPECT_EQ(ask_all(copy, 500, 1).first, 0);
}

TEST(PreparedNodes, BeyondTheBudgetTheLastNodePerThreadIsKept) {
  const PreparedNodes<Square> prepared(500, 64, 500 * 64 - 1);
  ASSERT_FALSE(prepared.keeps_all());
  const auto [made, right] = ask_all(prepared, 500, 2);
  EXPECT_TRUE(right);
  EXPECT_GE(made, 500);
  int runs = 0;
  for (int i = 0; i < 3; ++i) prepared.get(9, [&] { ++runs; return Square{{81}}; });
  EXPECT_EQ(runs, 1);  // a run of calls for one node on one thread
  // Another store never answers with this one's value for the same node.
  const PreparedNodes<Square> other(500, 64, 0);
  EXPECT_EQ(other.get(9, [] { return Square{{1}}; }).value, std::vector<std::uint64_t>{1});
}

TEST(PreparedNodes, PreparingAllUpFrontFillsEveryNodeInBlocks) {
  const PreparedNodes<Square> prepared(500, 64, 500 * 64);
  std::atomic<int> blocks{0};
  prepared.prepare_all(32, [&](std::size_t first, std::span<Square> out) {
    ++blocks;
    ASSERT_LE(out.size(), 32u);
    ASSERT_EQ(first % 32, 0u);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = Square{{(first + i) * (first + i)}};
  });
  EXPECT_EQ(blocks.load(), 16);  // the last block holds 20 nodes
  const auto [made, right] = ask_all(prepared, 500, 2);
  EXPECT_EQ(made, 0);
  EXPECT_TRUE(right);
  // Beyond the budget nothing is prepared ahead; each node as asked.
  const PreparedNodes<Square> last(500, 64, 0);
  last.prepare_all(32, [&](std::size_t, std::span<Square>) { ++blocks; });
  EXPECT_EQ(blocks.load(), 16);
  EXPECT_TRUE(ask_all(last, 500, 1).second);
}

TEST(PreparedNodes, NodesOutsideTheSetPanic) {
  const PreparedNodes<Square> kept(4, 8);
  const PreparedNodes<Square> last(4, 8, 0);
  EXPECT_THROW(kept.get(4, [] { return Square{}; }), Panic);
  EXPECT_THROW(last.get(4, [] { return Square{}; }), Panic);
}

}  // namespace
}  // namespace velq
