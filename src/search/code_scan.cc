#include "search/code_scan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "quantizer/reconstruction_norms.h"
#include "search/vector_scoring.h"
#include "engine/state/search_route.h"

namespace velq::engine {

namespace {

struct DecodedTag;

float f32_at(const std::uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A chunk rereads the floors other chunks published every this many blocks.
constexpr std::size_t kFloorBlocks = 8;

// Minus the distance from the query (‖q‖² = query_sq) to ν·x̂, from
// <q, x̂> and ‖x̂‖². std::max keeps a NaN, as the decoded vector's distance
// would.
double l2_score(double query_sq, double norm, double ip, double squared) {
  return -std::sqrt(std::max(query_sq - 2.0 * norm * ip + norm * norm * squared, 0.0));
}

constexpr auto no_floor = [](std::size_t) { return CodeScan::kNoFloor; };

// Chunks of the parallel scan: enough of them to balance the threads, each
// long enough that its own pool fills early and prunes the rest.
std::size_t chunk_size(std::size_t count, bool prune) {
  if (!prune) return 512;
  const std::size_t threads = std::max<std::size_t>(1, pool_thread_count());
  return std::max<std::size_t>(4096, (count + 4 * threads - 1) / (4 * threads));
}

// The minimum of a full pool holding no NaN: no candidate scoring below it
// can enter the pool afterwards. -infinity otherwise.
double pool_floor(const SearchPool& pool) {
  const auto entries = pool.entries();
  if (entries.empty() || entries.size() < pool.capacity() || pool.saw_nan()) return CodeScan::kNoFloor;
  return entries[0].score;
}

}  // namespace

CodeScan::CodeScan(const ProdQuantizer& q, const PreparedIpQuery& pq, DistanceMetric metric,
                   double query_norm, CodeSlots slots, const BlockedCodes* blocked,
                   DecodedInputs decoded)
    : q_(q),
      pq_(pq),
      metric_(metric),
      query_norm_(query_norm),
      slots_(slots),
      blocked_(blocked),
      decoded_(decoded),
      mse_len_(q.packed_mse_len()),
      sign_len_(q.fast_mode() ? 0 : q.qjl_len()) {
  if (slots_.stride < mse_len_ + sign_len_ + 8) panic("slot stride too short for the code's fields");
  const bool zero_cosine = metric_ == DistanceMetric::kCosine && !(query_norm_ > 0.0);
  const bool is_l2 = metric_ == DistanceMetric::kL2;
  if (is_l2 || !decoded_.query.empty()) {
    assert_eq(decoded_.query.size(), q.d(), "query dimension");
  }
  for (const double v : decoded_.query) query_sq_ += v * v;
  if (blocked_ != nullptr && BlockedCodes::supports(q) && !zero_cosine &&
      (!is_l2 || decoded_.norms != nullptr)) {
    first_pass_ = prepare_first_pass(q, pq);
    if (is_l2) {
      // The L2 score takes the sketch at the reconstruction's weight.
      first_pass_->qjl_scale = q.qjl_reconstruction_scale();
      l2_bound_.emplace(q, decoded_.query, pq);
    }
  }
}

void CodeScan::prefetch_slot(std::uint32_t slot) const {
  const std::size_t at = std::size_t{slot} * slots_.stride;
  if (at >= slots_.bytes.size()) return;  // exact_score reports it
  const std::size_t end = std::min(slots_.bytes.size(), at + mse_len_ + sign_len_ + 8);
  // Every line the fields touch, the last included when the slot starts
  // late in its first line.
  for (std::size_t line = at & ~std::size_t{63}; line < end; line += 64) {
    __builtin_prefetch(slots_.bytes.data() + line);
  }
}

const std::uint8_t* CodeScan::slot_at(std::uint32_t slot) const {
  const std::size_t at = std::size_t{slot} * slots_.stride;
  if (slots_.bytes.size() < slots_.stride || at > slots_.bytes.size() - slots_.stride) {
    panic("slot " + std::to_string(slot) + " lies outside the slot bytes");
  }
  return slots_.bytes.data() + at;
}

double CodeScan::written_score(const std::uint8_t* p) const {
  assert_eq(decoded_.query.size(), q_.d(), "query dimension");
  const StoredCode code{{p, mse_len_}, {p + mse_len_, sign_len_}, f32_at(p + mse_len_ + sign_len_)};
  const std::span<double> x = thread_scratch<DecodedTag, double>(q_.d());
  decode_codes(q_, std::span(&code, 1), x);
  const double norm = f32_at(p + mse_len_ + sign_len_ + 4);
  for (double& v : x) v *= norm;
  return filter::score_vectors_with_metric(metric_, decoded_.query, x);
}

double CodeScan::decoded_score(std::uint32_t slot) const {
  const std::uint8_t* p = slot_at(slot);
  const bool covered = decoded_.norms != nullptr && slot < decoded_.norms->size();
  if ((metric_ != DistanceMetric::kIp && !covered) || pq_.q_rot.empty()) return written_score(p);
  const double ip = q_.decoded_ip_packed(pq_, {p, mse_len_}, {p + mse_len_, sign_len_},
                                         f32_at(p + mse_len_ + sign_len_));
  const double norm = f32_at(p + mse_len_ + sign_len_ + 4);
  if (metric_ == DistanceMetric::kIp) return norm * ip;
  const double squared = decoded_.norms->squared(slot);
  if (metric_ == DistanceMetric::kCosine) {
    const double divisor = query_norm_ * (std::fabs(norm) * std::sqrt(squared));
    return divisor == 0.0 ? 0.0 : norm * ip / divisor;
  }
  return l2_score(query_sq_, norm, ip, squared);
}

double CodeScan::exact_score(std::uint32_t slot) const {
  const std::uint8_t* p = slot_at(slot);
  if (metric_ == DistanceMetric::kCosine && !(query_norm_ > 0.0)) return 0.0;
  if (metric_ == DistanceMetric::kL2) return decoded_score(slot);
  const double gamma = f32_at(p + mse_len_ + sign_len_);
  const double estimate = q_.score_ip_packed(pq_, {p, mse_len_}, {p + mse_len_, sign_len_}, gamma);
  if (metric_ == DistanceMetric::kCosine) return estimate / query_norm_;
  return estimate * static_cast<double>(f32_at(p + mse_len_ + sign_len_ + 4));
}

void CodeScan::walk_scores(std::span<const std::uint32_t> slots, std::span<double> scores) const {
  const bool l2 = metric_ == DistanceMetric::kL2 && decoded_.norms != nullptr && !pq_.q_rot.empty();
  const auto ask = [&](std::uint32_t slot) {
    prefetch_slot(slot);
    if (l2) decoded_.norms->prefetch(slot);
  };
  // A few slots ahead of the one scored: their lines arrive while it is
  // scored, and no more are asked for at once than the core can have in
  // flight (asking for all of them stalls on the first ones).
  constexpr std::size_t kAhead = 4;
  for (std::size_t i = 0; i < std::min(kAhead, slots.size()); ++i) ask(slots[i]);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i + kAhead < slots.size()) ask(slots[i + kAhead]);
    const std::uint32_t slot = slots[i];
    if (!l2 || slot >= decoded_.norms->size()) {
      scores[i] = exact_score(slot);
      continue;
    }
    const std::uint8_t* p = slot_at(slot);
    const double ip = q_.score_ip_packed(pq_, {p, mse_len_}, {p + mse_len_, sign_len_},
                                         f32_at(p + mse_len_ + sign_len_));
    const double norm = f32_at(p + mse_len_ + sign_len_ + 4);
    scores[i] = l2_score(query_sq_, norm, ip, decoded_.norms->squared(slot));
  }
}

double CodeScan::block_score_bounds(std::size_t block, double* bounds) const {
  if (l2_bound_) {
    constexpr std::size_t kCodes = BlockedShape::kCodes;
    block_bounds(*first_pass_, *blocked_, block, BoundScale{}, bounds);
    const BlockedShape& shape = blocked_->shape();
    const std::uint8_t* bytes = blocked_->block(block);
    // Slots of the last block beyond the norms are never candidates.
    const std::size_t first = block * kCodes;
    double squares[kCodes];
    for (std::size_t c = 0; c < kCodes; ++c) {
      squares[c] = first + c < decoded_.norms->size() ? decoded_.norms->squared(first + c) : 0.0;
    }
    float gammas[kCodes], norms[kCodes];
    std::memcpy(gammas, bytes + shape.gamma_offset(), sizeof gammas);
    std::memcpy(norms, bytes + shape.norm_offset(), sizeof norms);
    return l2_bound_->block_bounds(bounds, gammas, norms, squares, bounds);
  }
  const BoundScale scale = metric_ == DistanceMetric::kCosine
                               ? BoundScale{BoundScale::kDivide, query_norm_}
                               : BoundScale{BoundScale::kNorm, 1.0};
  return block_bounds(*first_pass_, *blocked_, block, scale, bounds);
}

double CodeScan::estimate_score_bound(std::uint32_t slot) const {
  const std::uint8_t* p = slot_at(slot);
  const float gamma = f32_at(p + mse_len_ + sign_len_);
  const double estimate = q_.score_ip_packed(pq_, {p, mse_len_}, {p + mse_len_, sign_len_}, gamma);
  return l2_bound_->estimate_score_bound(estimate, gamma, f32_at(p + mse_len_ + sign_len_ + 4),
                                         decoded_.norms->squared(slot));
}

// Fewer than kFirstPassMin candidates, or candidates spread over more than
// four times their number of slots, are all scored exactly.
bool CodeScan::uses_first_pass(std::span<const std::uint32_t> candidates) const {
  if (!first_pass_ || candidates.size() < kFirstPassMin) return false;
  if (!std::is_sorted(candidates.begin(), candidates.end())) return false;
  if (candidates.back() >= blocked_->size()) return false;
  if (l2_bound_ && candidates.back() >= decoded_.norms->size()) return false;
  const std::size_t span = std::size_t{candidates.back()} - candidates.front() + 1;
  return span / 4 <= candidates.size();
}

std::size_t CodeScan::score_chunk(std::span<const std::uint32_t> candidates, bool prune,
                                  double* scores, std::uint8_t* pruned, SearchPool& pool) const {
  if (scores == nullptr) {
    return scan_chunk(candidates, prune, no_floor, pool, [&](std::size_t i, double score) {
      pool.push(candidates[i], score);
    });
  }
  std::fill(pruned, pruned + candidates.size(), std::uint8_t{1});
  return scan_chunk(candidates, prune, no_floor, pool, [&](std::size_t i, double score) {
    pruned[i] = 0;
    scores[i] = score;
    if (prune) pool.push(candidates[i], score);
  });
}

template <typename Floor, typename Scored>
std::size_t CodeScan::scan_chunk(std::span<const std::uint32_t> candidates, bool prune,
                                 Floor&& floor_of, SearchPool& pool, Scored&& scored) const {
  constexpr std::size_t kCodes = BlockedShape::kCodes;
  std::size_t exact = 0;
  double floor = kNoFloor;
  std::size_t block = std::numeric_limits<std::size_t>::max();
  double bounds[kCodes];
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const std::uint32_t slot = candidates[i];
    if (prune) {
      if (slot / kCodes != block) {
        block = slot / kCodes;
        floor = floor_of(block);
        const double top = block_score_bounds(block, bounds);
        // Once stand-ins change nothing (or below the floor, where nothing
        // is pushed), the candidates of a block whose every bound is below
        // the pool need no work at all. Candidates are sorted: the block's
        // run ends before the first slot of the next.
        if (top < floor || (pool.stand_in_settled() && pool.excludes(top))) {
          const std::size_t next = (block + 1) * kCodes;
          std::size_t last = std::min(candidates.size(), i + (next - slot)) - 1;
          while (candidates[last] >= next) --last;
          while (last + 1 < candidates.size() && candidates[last + 1] < next) ++last;
          i = last;
          continue;
        }
      }
      const double bound = bounds[slot % kCodes];
      if (bound < floor) continue;
      if (pool.excludes(bound)) {
        pool.push_below_all();
        continue;
      }
      prefetch_slot(slot);
      if (l2_bound_) {
        // The L2 score reads the code's square only after its sums.
        decoded_.norms->prefetch(slot);
        const double closer = estimate_score_bound(slot);
        if (closer < floor) continue;
        if (pool.excludes(closer)) {
          pool.push_below_all();
          continue;
        }
      }
    }
    scored(i, exact_score(slot));
    ++exact;
  }
  return exact;
}

ScanResult CodeScan::run_with(std::span<const std::uint32_t> candidates, std::size_t pool_size,
                              bool prune) const {
  ScanResult result{SearchPool(pool_size), 0};
  SearchPool& pool = result.pool;
  // One thread gains nothing from chunks: each would fill a pool of its own
  // from scratch (more survivors) and the scores would wait in a list.
  if (candidates.size() <= kParallelAbove || pool_thread_count() == 1) {
    result.scored_exactly = score_chunk(candidates, prune, nullptr, nullptr, pool);
    return result;
  }
  // The first candidates go straight into the shared pool; its minimum then
  // is a floor for every later chunk, since the shared pool's minimum only
  // rises while it holds no NaN. So is the minimum of any chunk's own pool
  // for the chunks after it: each chunk publishes its pool's minimum as it
  // rises, and a chunk takes the highest floor of those before it every
  // kFloorBlocks blocks.
  const std::size_t warm = prune ? std::min(candidates.size(), kWarmUp) : 0;
  result.scored_exactly = score_chunk(candidates.first(warm), prune, nullptr, nullptr, pool);
  const double warm_floor = pool_floor(pool);
  const std::span<const std::uint32_t> rest = candidates.subspan(warm);
  const std::size_t count = rest.size();
  const std::size_t chunk = chunk_size(count, prune);
  const std::size_t chunks = (count + chunk - 1) / chunk;
  std::vector<std::atomic<double>> published(chunks);
  for (auto& f : published) f.store(kNoFloor, std::memory_order_relaxed);
  // Each chunk keeps only what it scored exactly: (position in rest, score).
  std::vector<std::vector<std::pair<std::size_t, double>>> survivors(chunks);
  parallel_for_each(chunks, 1, [&](std::size_t c) {
    const std::size_t first = c * chunk;
    SearchPool local(pool_size);
    double floor = warm_floor;
    std::size_t blocks_seen = 0;
    const auto floor_of = [&](std::size_t) {
      if (blocks_seen++ % kFloorBlocks == 0) {
        for (std::size_t e = 0; e < c; ++e) {
          floor = std::max(floor, published[e].load(std::memory_order_relaxed));
        }
      }
      return floor;
    };
    const std::size_t take = std::min(chunk, count - first);
    if (!prune) survivors[c].reserve(take);
    scan_chunk(rest.subspan(first, take), prune, floor_of, local,
               [&](std::size_t i, double score) {
                 if (prune) {
                   local.push(rest[first + i], score);
                   published[c].store(pool_floor(local), std::memory_order_relaxed);
                 }
                 survivors[c].emplace_back(first + i, score);
               });
  });
  // A chunk prunes what the shared pool would evict at once only while the
  // shared pool holds no NaN (then its root is its minimum); after a NaN,
  // the candidates a chunk pruned are scored here after all. While the
  // stand-in is settled, the pushes of pruned candidates change nothing.
  const auto push_pruned = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (pool.saw_nan()) {
        pool.push(rest[i], exact_score(rest[i]));
        ++result.scored_exactly;
      } else if (pool.stand_in_settled()) {
        return;
      } else {
        pool.push_below_all();
      }
    }
  };
  std::size_t next = 0;
  for (const auto& scored : survivors) {
    for (const auto& [i, score] : scored) {
      push_pruned(next, i);
      pool.push(rest[i], score);
      next = i + 1;
    }
    result.scored_exactly += scored.size();
  }
  push_pruned(next, count);
  return result;
}

ScanResult CodeScan::run(std::span<const std::uint32_t> candidates, std::size_t pool_size) const {
  return run_with(candidates, pool_size, uses_first_pass(candidates));
}

ScanResult CodeScan::run_exact(std::span<const std::uint32_t> candidates,
                               std::size_t pool_size) const {
  return run_with(candidates, pool_size, false);
}

}  // namespace velq::engine
