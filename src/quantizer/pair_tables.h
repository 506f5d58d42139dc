// Exact scoring without permutes, for codes of 3-bit MSE indices: per-query
// f32 tables over pairs of coordinates (64 entries: the two levels' products,
// added in f32) and over sign bytes (256 entries: the eight ±q_proj terms
// added in bit order). A code's estimate is then one table read per pair and
// per sign byte, in another summation order than score_kernels.h's loops but
// of the same terms, so it differs from them only by f32 rounding.
//
// The tables take 384 bytes per coordinate. Measured on a processor with
// fast register permutes (AMD family 25), they beat the register kernels by
// 17-30% while they fit in L1 (up to 128 coordinates), tie at 256 and lose
// beyond, where every read misses L1 (see kMaxCoordinates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quantizer/score_kernels.h"

namespace velq::scoring {

struct PairTables {
  // Above this many coordinates the tables leave L1 and the register kernels win.
  static constexpr std::size_t kMaxCoordinates = 128;
  static constexpr unsigned kBits = 3;

  std::size_t n = 0;
  // pairs[p·64 + a + 8·b] = levels[a]·q_rot[2p] + levels[b]·q_rot[2p+1] (0 past n).
  std::vector<float> pairs;
  // signs[j·256 + s] = Σ_{t<8, 8j+t<n} (bit t of s ? +q_proj : -q_proj)[8j+t], in t order.
  std::vector<float> signs;
};

// REQUIRES: levels.size() == 8, q_rot.size() >= n, q_proj.size() >= n (or
// empty: no sign tables).
PairTables build_pair_tables(std::span<const float> levels, std::span<const float> q_rot,
                             std::span<const float> q_proj, std::size_t n);

// Both terms of a code of 3-bit packed indices (packed_len(n, 3) bytes) and
// ceil(n/8) sign bytes (empty: no sign term, signs = 0).
ScoreTerms pair_table_terms(const PairTables& tables, std::span<const std::uint8_t> packed,
                            std::span<const std::uint8_t> signs);

}  // namespace velq::scoring
