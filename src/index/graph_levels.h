// Level structure shared by the full and the incremental build: per-level
// degrees, the level multiplier and the random level draw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace velq {

struct GraphDegrees {
  std::size_t level0;  // min(max_degree, 127)
  std::size_t upper;   // max(max_degree / 2, 4), not capped
  double level_multiplier;  // 1 / ln(upper)

  explicit GraphDegrees(std::size_t max_degree);
  std::size_t at(std::uint32_t level) const { return level == 0 ? level0 : upper; }
};

// The generator of the calling thread, seeded once per thread from the
// operating system's entropy: builds are not reproducible.
std::mt19937_64& graph_rng();

// A seed for one of the independent random streams of a build, mixed from
// the build's seed and a salt naming the stream (a level, a node).
std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t salt);

// A uniform index in [0, n), n > 0, without modulo bias.
std::size_t uniform_index(std::mt19937_64& rng, std::size_t n);

// floor(-ln(U) * multiplier) with U uniform in [0, 1) from 52 random bits,
// capped at the top level; U = 0 gives the top level.
std::uint32_t draw_level(std::mt19937_64& rng, double level_multiplier);

}  // namespace velq
