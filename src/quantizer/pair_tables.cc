#include "quantizer/pair_tables.h"

#include <cstring>

#include "common/panic.h"
#include "quantizer/packing.h"

namespace velq::scoring {

namespace {

constexpr std::size_t kPairEntries = 64;
constexpr std::size_t kSignEntries = 256;

}  // namespace

PairTables build_pair_tables(std::span<const float> levels, std::span<const float> q_rot,
                             std::span<const float> q_proj, std::size_t n) {
  assert_eq(levels.size(), std::size_t{8}, "levels of a 3-bit codebook");
  PairTables t;
  t.n = n;
  const std::size_t pairs = (n + 1) / 2;
  t.pairs.resize(pairs * kPairEntries);
  for (std::size_t p = 0; p < pairs; ++p) {
    const float q0 = q_rot[2 * p];
    const float q1 = 2 * p + 1 < n ? q_rot[2 * p + 1] : 0.0f;
    float* row = t.pairs.data() + p * kPairEntries;
    for (std::size_t b = 0; b < 8; ++b) {
      for (std::size_t a = 0; a < 8; ++a) row[a + 8 * b] = levels[a] * q0 + levels[b] * q1;
    }
  }
  if (q_proj.empty()) return t;
  const std::size_t bytes = (n + 7) / 8;
  t.signs.resize(bytes * kSignEntries);
  for (std::size_t j = 0; j < bytes; ++j) {
    float* row = t.signs.data() + j * kSignEntries;
    // Entries over bits 0..b-1 extend to bit b: each entry is still the sum
    // of its terms in bit order. Bits past n add nothing.
    row[0] = 0.0f;
    for (std::size_t b = 0, width = 1; b < 8; ++b, width *= 2) {
      const float v = 8 * j + b < n ? q_proj[8 * j + b] : 0.0f;
      for (std::size_t s = 0; s < width; ++s) {
        row[s + width] = row[s] + v;
        row[s] = row[s] - v;
      }
    }
  }
  return t;
}

ScoreTerms pair_table_terms(const PairTables& tables, std::span<const std::uint8_t> packed,
                            std::span<const std::uint8_t> signs) {
  const std::size_t n = tables.n;
  const std::size_t pairs = (n + 1) / 2;
  const float* pt = tables.pairs.data();
  // Four chains so the adds overlap; eight pairs (48 bits) per 8-byte load.
  float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
  std::size_t p = 0;
  for (; p + 8 <= pairs && 6 * (p / 8) + 8 <= packed.size(); p += 8) {
    std::uint64_t w;
    std::memcpy(&w, packed.data() + 6 * (p / 8), sizeof w);
    const float* row = pt + p * kPairEntries;
    a0 += row[0 * kPairEntries + (w & 63)];
    a1 += row[1 * kPairEntries + ((w >> 6) & 63)];
    a2 += row[2 * kPairEntries + ((w >> 12) & 63)];
    a3 += row[3 * kPairEntries + ((w >> 18) & 63)];
    a0 += row[4 * kPairEntries + ((w >> 24) & 63)];
    a1 += row[5 * kPairEntries + ((w >> 30) & 63)];
    a2 += row[6 * kPairEntries + ((w >> 36) & 63)];
    a3 += row[7 * kPairEntries + ((w >> 42) & 63)];
  }
  for (; p < pairs; ++p) {
    const unsigned lo = packing::index_at(packed, 2 * p, PairTables::kBits);
    const unsigned hi = 2 * p + 1 < n ? packing::index_at(packed, 2 * p + 1, PairTables::kBits) : 0;
    a0 += pt[p * kPairEntries + lo + 8 * hi];
  }
  ScoreTerms terms;
  terms.mse = (a0 + a1) + (a2 + a3);
  if (signs.empty()) return terms;
  const float* st = tables.signs.data();
  const std::size_t bytes = (n + 7) / 8;
  float s0 = 0.0f, s1 = 0.0f;
  std::size_t j = 0;
  for (; j + 2 <= bytes; j += 2) {
    s0 += st[j * kSignEntries + signs[j]];
    s1 += st[(j + 1) * kSignEntries + signs[j + 1]];
  }
  if (j < bytes) s0 += st[j * kSignEntries + signs[j]];
  terms.signs = s0 + s1;
  return terms;
}

}  // namespace velq::scoring
