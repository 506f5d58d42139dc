// What an index build's scorer prepares for the node it scores from (the
// first argument of a scoring call), kept across calls. The graph builder asks
// about one node in many calls: once per refinement round, and in the last
// pass again as a candidate of every neighbour that weighs it against its
// kept links. Preparing a raw vector rotates and projects it, which costs
// far more than scoring the handful of candidates of such a call, so the
// build keeps every node's preparation when the whole set fits in memory,
// and otherwise the last one per thread. A kept set may also be prepared
// up front in blocks of nodes, which lets one pass over a dense matrix
// serve a whole block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/panic.h"
#include "common/worker_pool.h"

namespace velq {

// Above this size a build keeps only one preparation per thread.
inline constexpr std::size_t kPreparedNodesBudgetBytes = std::size_t{1} << 30;

// What make() gave for the last node one thread asked about, per owner:
// valid until that thread's next call.
template <typename Prepared>
class LastPrepared {
 public:
  LastPrepared() : owner_(next_owner_.fetch_add(1, std::memory_order_relaxed)) {}

  template <typename Make>
  const Prepared& get(std::uint32_t node, Make&& make) const {
    thread_local Slot slot;
    if (slot.owner != owner_ || slot.node != node) {
      slot.value = make();
      slot.owner = owner_;
      slot.node = node;
    }
    return slot.value;
  }

 private:
  struct Slot {
    std::uint64_t owner = 0;  // 0 = empty; owners count from 1
    std::uint32_t node = 0;
    Prepared value;
  };
  static inline std::atomic<std::uint64_t> next_owner_{1};
  std::uint64_t owner_;
};

// Copies share one store, so a scorer holding this may be copied freely.
template <typename Prepared>
class PreparedNodes {
 public:
  // Nodes 0 .. count-1, each preparation about `bytes_each` bytes; the whole
  // set is kept when count * bytes_each <= budget_bytes.
  PreparedNodes(std::size_t count, std::size_t bytes_each,
                std::size_t budget_bytes = kPreparedNodesBudgetBytes)
      : count_(count) {
    if (bytes_each == 0 || count <= budget_bytes / bytes_each) {
      store_ = std::make_shared<Store>(count);
    }
  }

  bool keeps_all() const { return store_ != nullptr; }

  // When the whole set is kept, prepares every node now on the worker pool:
  // make_block(first, out) fills out (up to `block` entries) with the
  // preparations of nodes first .. first + out.size() - 1. Nothing otherwise:
  // get() then prepares each node as it is asked about.
  template <typename MakeBlock>
  void prepare_all(std::size_t block, MakeBlock&& make_block) const {
    if (!store_ || block == 0) return;
    Store& store = *store_;
    parallel_for_each((count_ + block - 1) / block, 1, [&](std::size_t b) {
      const std::size_t first = b * block;
      std::vector<Prepared> made(std::min(block, count_ - first));
      make_block(first, std::span(made));
      for (std::size_t i = 0; i < made.size(); ++i) {
        std::call_once(store.once[first + i], [&] { store.values[first + i] = std::move(made[i]); });
      }
    });
  }

  // make() for `node`, run once per node while the whole set is kept (other
  // threads asking meanwhile wait for it), else at most once per run of
  // calls for one node on one thread. The reference stays valid until this
  // thread's next call, or for the store's lifetime when the set is kept.
  template <typename Make>
  const Prepared& get(std::uint32_t node, Make&& make) const {
    if (node >= count_) {
      panic("node " + std::to_string(node) + " outside the " + std::to_string(count_) +
            " prepared nodes");
    }
    if (!store_) return last_.get(node, make);
    Store& store = *store_;
    std::call_once(store.once[node], [&] { store.values[node] = make(); });
    return store.values[node];
  }

 private:
  struct Store {
    explicit Store(std::size_t n) : values(n), once(std::make_unique<std::once_flag[]>(n)) {}
    std::vector<Prepared> values;
    std::unique_ptr<std::once_flag[]> once;
  };

  std::size_t count_;
  std::shared_ptr<Store> store_;
  LastPrepared<Prepared> last_;
};

}  // namespace velq
