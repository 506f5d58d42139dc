#include "index/graph_levels.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "storage/graph/graph_format.h"

namespace velq {

GraphDegrees::GraphDegrees(std::size_t max_degree)
    : level0(std::min<std::size_t>(max_degree, 127)),
      upper(std::max<std::size_t>(max_degree / 2, 4)),
      level_multiplier(1.0 / std::log(static_cast<double>(upper))) {}

std::mt19937_64& graph_rng() {
  thread_local std::mt19937_64 rng = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return rng;
}

std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t salt) {
  // SplitMix64's finaliser over the pair: nearby salts give unrelated seeds.
  std::uint64_t x = seed ^ (salt * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::size_t uniform_index(std::mt19937_64& rng, std::size_t n) {
  // Widening multiply; draws in the short leftover range are rejected.
  const unsigned __int128 range = n;
  const std::uint64_t threshold = (0 - static_cast<std::uint64_t>(n)) % n;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng()) * range;
    if (static_cast<std::uint64_t>(product) >= threshold) {
      return static_cast<std::size_t>(product >> 64);
    }
  }
}

std::uint32_t draw_level(std::mt19937_64& rng, double level_multiplier) {
  // 52 random mantissa bits under the exponent of 1.0 give a double in [1, 2).
  const std::uint64_t bits = (rng() >> 12) | 0x3FF0000000000000ull;
  const double u = std::bit_cast<double>(bits) - 1.0;
  const double x = std::clamp(-std::log(u) * level_multiplier, 0.0, 4294967295.0);
  return std::min(static_cast<std::uint32_t>(x), graph_format::kTopLevel);
}

}  // namespace velq
