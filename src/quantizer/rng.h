// Seedable ChaCha12 stream and the draws built on it. The streams must match
// the reference vectors in tests/data/random bit for bit: quantizers are
// rebuilt from (dimension, bits, seed) and a different stream would give a
// different rotation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velq {

class ChaCha12Rng {
 public:
  // Key from the 64-bit seed by the PCG32 expansion (8 outputs, little-endian).
  static ChaCha12Rng seed_from_u64(std::uint64_t seed);
  explicit ChaCha12Rng(const std::array<std::uint8_t, 32>& key);

  const std::array<std::uint8_t, 32>& key() const { return key_; }

  std::uint64_t next_u64();

  // One 64-bit draw: -1.0 when its top bit is set, else +1.0.
  float sign();

  // Standard normal by the Ziggurat method (usually one 64-bit draw).
  double standard_normal();

 private:
  void refill();

  std::array<std::uint8_t, 32> key_;
  std::array<std::uint32_t, 16> block_{};
  std::uint64_t counter_ = 0;
  unsigned word_ = 16;  // next unread word of block_; 16 = exhausted
};

// `count` signs (±1.0) drawn in order.
std::vector<float> draw_signs(ChaCha12Rng& rng, std::size_t count);

// `count` standard-normal values drawn in order, each narrowed to f32.
std::vector<float> draw_gaussians(ChaCha12Rng& rng, std::size_t count);

}  // namespace velq
