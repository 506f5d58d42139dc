#include "python/engine_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace velq {
namespace {

using namespace std::chrono_literals;

TEST(EngineLock, PanicUnderExclusiveLockPoisonsForGood) {
  PoisonableRwLock<int> lock(1);
  EXPECT_THROW(lock.write([](int&) { panic("broken invariant"); }), Panic);
  EXPECT_THROW(lock.read([](const int&) { return 0; }), LockPoisoned);
  EXPECT_THROW(lock.write([](int&) {}), LockPoisoned);
  try {
    lock.read([](const int&) {});
  } catch (const LockPoisoned& e) {
    EXPECT_STREQ(e.what(),
                 "database lock poisoned: a previous operation panicked; re-open the database");
  }
}

TEST(EngineLock, PanicUnderSharedLockDoesNotPoison) {
  PoisonableRwLock<int> lock(1);
  EXPECT_THROW(lock.read([](const int&) { panic("read side"); }), Panic);
  EXPECT_EQ(lock.read([](const int& v) { return v; }), 1);
}

TEST(EngineLock, OtherExceptionsDoNotPoison) {
  PoisonableRwLock<int> lock(1);
  EXPECT_THROW(lock.write([](int&) { throw std::invalid_argument("refused"); }),
               std::invalid_argument);
  lock.write([](int& v) { v = 2; });
  EXPECT_EQ(lock.read([](const int& v) { return v; }), 2);
}

TEST(EngineLock, ReadersShareTheLock) {
  PoisonableRwLock<int> lock(0);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  auto reader = [&] {
    lock.read([&](const int&) {
      const int now = ++inside;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      const auto deadline = std::chrono::steady_clock::now() + 2s;
      while (most.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      --inside;
    });
  };
  std::thread a(reader), b(reader);
  a.join();
  b.join();
  EXPECT_EQ(most.load(), 2);
}

TEST(EngineLock, WaitingWriterGoesBeforeNewReaders) {
  PoisonableRwLock<int> lock(0);
  std::atomic<bool> reader_in{false};
  std::atomic<bool> release_reader{false};
  std::thread first_reader([&] {
    lock.read([&](const int&) {
      reader_in = true;
      while (!release_reader) std::this_thread::yield();
    });
  });
  while (!reader_in) std::this_thread::yield();
  std::thread writer([&] { lock.write([](int& v) { v = 1; }); });
  std::this_thread::sleep_for(50ms);  // the writer is now waiting
  std::atomic<int> late_reader_saw{-1};
  std::thread late_reader([&] { late_reader_saw = lock.read([](const int& v) { return v; }); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(late_reader_saw.load(), -1);  // blocked behind the writer
  release_reader = true;
  first_reader.join();
  writer.join();
  late_reader.join();
  EXPECT_EQ(late_reader_saw.load(), 1);
}

}  // namespace
}  // namespace velq
