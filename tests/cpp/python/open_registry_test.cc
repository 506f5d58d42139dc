#include "python/open_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velq {
namespace {

using namespace std::chrono_literals;

// Counts the values in existence; one may be told to die slowly.
struct Value {
  static inline std::atomic<int> alive{0};
  static inline std::atomic<bool> dying{false};

  explicit Value(int n, bool slow_death = false) : n(n), slow_death(slow_death) { ++alive; }
  Value(Value&& other) noexcept
      : n(other.n),
        stale(other.stale),
        slow_death(other.slow_death),
        owns(std::exchange(other.owns, false)) {}
  Value(const Value&) = delete;
  ~Value() {
    if (!owns) return;
    if (slow_death) {
      dying = true;
      std::this_thread::sleep_for(50ms);
    }
    --alive;
  }

  int n;
  bool stale = false;
  bool slow_death = false;
  bool owns = true;
};

using Registry = OpenRegistry<Value>;

const auto accept = [](const Value&) {};
const auto flagged_stale = [](const Value& v) { return v.stale; };

TEST(OpenRegistry, ConcurrentAcquiresShareOneValue) {
  Registry registry;
  std::atomic<int> made{0};
  std::vector<Registry::Handle> handles(8);
  std::vector<std::thread> threads;
  for (auto& h : handles) {
    threads.emplace_back([&] {
      h = registry.acquire("k", accept, flagged_stale, [&] {
        std::this_thread::sleep_for(10ms);
        return Value(++made);
      });
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made, 1);
  for (const auto& h : handles) EXPECT_EQ(h, handles[0]);
  handles.clear();
  EXPECT_EQ(Value::alive, 0);  // the registry holds nothing by itself
  // Another key is another value.
  const auto a = registry.acquire("a", accept, flagged_stale, [] { return Value(1); });
  const auto b = registry.acquire("b", accept, flagged_stale, [] { return Value(2); });
  EXPECT_NE(a, b);
}

TEST(OpenRegistry, NextValueIsMadeOnlyOnceTheLastOneIsDestroyed) {
  Registry registry;
  auto first = registry.acquire("k", accept, flagged_stale, [] { return Value(1, true); });
  Value::dying = false;
  std::thread releaser([&] { first.reset(); });
  while (!Value::dying) std::this_thread::yield();
  int alive_at_make = -1;
  const auto second = registry.acquire("k", accept, flagged_stale, [&] {
    alive_at_make = Value::alive;
    return Value(2);
  });
  releaser.join();
  EXPECT_EQ(alive_at_make, 0);
  EXPECT_EQ(second->read([](const Value& v) { return v.n; }), 2);
}

TEST(OpenRegistry, RefusalsFailuresAndReplacedValues) {
  Registry registry;
  const auto first = registry.acquire("k", accept, flagged_stale, [] { return Value(1); });
  // A refused acquire leaves the value to its holder.
  EXPECT_THROW(registry.acquire("k", [](const Value&) { throw std::invalid_argument("no"); },
                                flagged_stale, [] { return Value(9); }),
               std::invalid_argument);
  EXPECT_EQ(first->read([](const Value& v) { return v.n; }), 1);

  // A stale value is replaced; its holders are refused from then on.
  first->write([](Value& v) { v.stale = true; });
  const auto second = registry.acquire("k", accept, flagged_stale, [] { return Value(2); });
  EXPECT_NE(first, second);
  EXPECT_EQ(Value::alive, 1);  // the stale one is gone although `first` is held
  try {
    first->read([](const Value&) {});
    ADD_FAILURE() << "a retired value was reached";
  } catch (const LockPoisoned& e) {
    EXPECT_STREQ(e.what(), kValueRetiredMessage);
  }

  // So is a poisoned one.
  EXPECT_THROW(second->write([](Value&) { panic("broken"); }), Panic);
  const auto third = registry.acquire("k", accept, flagged_stale, [] { return Value(3); });
  EXPECT_EQ(third->read([](const Value& v) { return v.n; }), 3);
  EXPECT_THROW(second->read([](const Value&) {}), LockPoisoned);

  // A make that fails leaves nothing behind: the next acquire makes again.
  const auto fails = [] () -> Value { throw std::runtime_error("cannot open"); };
  EXPECT_THROW(registry.acquire("other", accept, flagged_stale, fails), std::runtime_error);
  const auto made = registry.acquire("other", accept, flagged_stale, [] { return Value(4); });
  EXPECT_EQ(made->read([](const Value& v) { return v.n; }), 4);
}

}  // namespace
}  // namespace velq
