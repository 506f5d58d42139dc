// The reader-writer lock that guards one open database, with its poison
// rule: a panic that unwinds out of an exclusive section marks the lock
// poisoned for good, and every later section refuses to start. Shared
// sections never poison it. A value taken out for good (retire_if) leaves
// the lock refusing every section in the same way. Waiting writers go
// first, so a stream of readers cannot starve a writer. No Python here:
// callers give up the interpreter lock before waiting.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "common/panic.h"

namespace velq {

inline constexpr const char* kLockPoisonedMessage =
    "database lock poisoned: a previous operation panicked; re-open the database";
inline constexpr const char* kValueRetiredMessage =
    "database handle retired: the database was opened again after a failure this handle "
    "could not recover from; use the handle that open returned";

class LockPoisoned : public std::runtime_error {
 public:
  explicit LockPoisoned(const char* message = kLockPoisonedMessage) : std::runtime_error(message) {}
};

template <typename T>
class PoisonableRwLock {
 public:
  explicit PoisonableRwLock(T value) : value_(std::move(value)) {}
  PoisonableRwLock(const PoisonableRwLock&) = delete;
  PoisonableRwLock& operator=(const PoisonableRwLock&) = delete;

  // Runs f(const T&) under the shared lock. Throws LockPoisoned first when
  // the lock is poisoned.
  template <typename F>
  decltype(auto) read(F&& f) {
    SharedSection section(*this);
    return std::forward<F>(f)(std::as_const(value_));
  }

  // Runs f(T&) under the exclusive lock; a Panic escaping f poisons the lock.
  template <typename F>
  decltype(auto) write(F&& f) {
    ExclusiveSection section(*this);
    try {
      return std::forward<F>(f)(value_);
    } catch (const Panic&) {
      std::lock_guard lock(mutex_);
      poisoned_ = true;
      throw;
    }
  }

  // When the lock is poisoned, or `stale(const T&)` holds, waits out every
  // section, takes the value out and returns it; from then on every section
  // refuses to start. Otherwise nullopt, and nothing changes. `stale` runs
  // with no section active and must not throw.
  template <typename P>
  std::optional<T> retire_if(P&& stale) {
    std::unique_lock lock(mutex_);
    ++writers_waiting_;
    writable_.wait(lock, [&] { return !writing_ && readers_ == 0; });
    --writers_waiting_;
    std::optional<T> value;
    if (!retired_ && (poisoned_ || std::forward<P>(stale)(std::as_const(value_)))) {
      value.emplace(std::move(value_));
      retired_ = true;
    }
    wake_next();
    return value;
  }

 private:
  class SharedSection {
   public:
    explicit SharedSection(PoisonableRwLock& l) : l_(l) {
      std::unique_lock lock(l_.mutex_);
      l_.readable_.wait(lock, [&] { return !l_.writing_ && l_.writers_waiting_ == 0; });
      l_.refuse_if_unusable();
      ++l_.readers_;
    }
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;
    ~SharedSection() {
      std::lock_guard lock(l_.mutex_);
      if (--l_.readers_ == 0) l_.writable_.notify_one();
    }

   private:
    PoisonableRwLock& l_;
  };

  class ExclusiveSection {
   public:
    explicit ExclusiveSection(PoisonableRwLock& l) : l_(l) {
      std::unique_lock lock(l_.mutex_);
      ++l_.writers_waiting_;
      l_.writable_.wait(lock, [&] { return !l_.writing_ && l_.readers_ == 0; });
      --l_.writers_waiting_;
      if (l_.poisoned_ || l_.retired_) l_.wake_next();
      l_.refuse_if_unusable();
      l_.writing_ = true;
    }
    ExclusiveSection(const ExclusiveSection&) = delete;
    ExclusiveSection& operator=(const ExclusiveSection&) = delete;
    ~ExclusiveSection() {
      std::lock_guard lock(l_.mutex_);
      l_.writing_ = false;
      l_.wake_next();
    }

   private:
    PoisonableRwLock& l_;
  };

  // With mutex_ held.
  void refuse_if_unusable() const {
    if (retired_ && !poisoned_) throw LockPoisoned(kValueRetiredMessage);
    if (poisoned_) throw LockPoisoned();
  }

  // With mutex_ held and nobody writing: a waiting writer goes next, else
  // every waiting reader.
  void wake_next() {
    if (writers_waiting_ > 0) writable_.notify_one();
    else readable_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable readable_;
  std::condition_variable writable_;
  int readers_ = 0;
  int writers_waiting_ = 0;
  bool writing_ = false;
  bool poisoned_ = false;
  bool retired_ = false;  // value_ was moved out: no section may reach it
  T value_;
};

}  // namespace velq
