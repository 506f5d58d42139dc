// What is open in this process, one value per key (a database directory's
// real path), each behind its own PoisonableRwLock. Every caller that
// acquires a key gets the same lock, and the value lives while any of them
// holds it; the registry keeps only a weak reference.
//
// A key's value is made at most once at a time: a second caller waits for a
// first one that is still making it, and a value whose last holder has let
// go is destroyed in full before the next one is made, since the two could
// not coexist (the engine's directory lock, its mapped files). A value whose
// lock is poisoned, or that the caller finds stale, is taken out of its lock
// (retire_if) and replaced; the old holders are refused from then on.
//
// No Python here. acquire() blocks: callers give up the interpreter lock
// around it. The destruction of a value runs on the thread that lets go of
// it last and takes a key's mutex only briefly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "python/engine_lock.h"

namespace velq {

template <typename T>
class OpenRegistry {
 public:
  using Handle = std::shared_ptr<PoisonableRwLock<T>>;

  // The value open under `key`, once `check(const T&)` has accepted it under
  // the shared lock (it throws to refuse); a value for which `stale(const T&)`
  // holds is replaced. With none, `make()` makes one (it throws to fail).
  template <typename Check, typename Stale, typename Make>
  Handle acquire(const std::string& key, Check&& check, Stale&& stale, Make&& make) {
    const std::shared_ptr<Entry> entry = entry_for(key);
    Handle handle;  // declared first: dropped after the entry's mutex is released
    std::unique_lock lock(entry->mutex);
    for (;;) {
      handle = entry->handle.lock();
      if (handle) {
        std::optional<T> retired = handle->retire_if(stale);
        if (!retired) {
          handle->read(check);
          return handle;
        }
        retired.reset();  // gone before the next value is made
        // Its holders are refused from now on. Its lock goes with the last
        // of them, whose deleter then finds another generation.
        entry->generation.fetch_add(1);
        entry->handle.reset();
        entry->live = false;
        handle.reset();
      }
      if (!entry->live) break;
      // The last holder is destroying the value; wait until it has.
      entry->destroyed.wait(lock);
    }
    // Taken on only once the handle exists: a deleter run by a failed
    // construction (out of memory) must not wait for this mutex.
    const std::uint64_t generation = entry->generation.load() + 1;
    const auto deleter = [held = entry, generation](PoisonableRwLock<T>* p) mutable {
      // The deleter lives on in the control block as long as the entry's
      // weak reference does: it must let go of the entry now, or the two
      // would keep each other forever.
      const std::shared_ptr<Entry> e = std::move(held);
      delete p;
      // Only the current generation's value keeps later makers waiting.
      if (e->generation.load() != generation) return;
      const std::lock_guard guard(e->mutex);
      if (e->generation.load() != generation) return;
      e->live = false;
      e->destroyed.notify_all();
    };
    handle = Handle(new PoisonableRwLock<T>(make()), deleter);
    entry->generation.store(generation);
    entry->handle = handle;
    entry->live = true;
    return handle;
  }

 private:
  struct Entry {
    std::mutex mutex;
    std::condition_variable destroyed;
    std::weak_ptr<PoisonableRwLock<T>> handle;
    std::atomic<std::uint64_t> generation = 0;  // changed under mutex
    bool live = false;  // a value of the current generation exists, held or being destroyed
  };

  std::shared_ptr<Entry> entry_for(const std::string& key) {
    const std::lock_guard guard(mutex_);
    // An entry only the map holds has no value and nobody waiting on it.
    std::erase_if(entries_, [](const auto& kv) { return kv.second.use_count() == 1; });
    std::shared_ptr<Entry>& entry = entries_[key];
    if (!entry) entry = std::make_shared<Entry>();
    return entry;
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace velq
