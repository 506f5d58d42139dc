#include "quantizer/rng.h"

#include <bit>
#include <cmath>

#include "quantizer/ziggurat_tables.h"

namespace velq {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr int kDoubleRounds = 6;  // ChaCha12

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
  a += b; d ^= a; d = std::rotl(d, 16);
  c += d; b ^= c; b = std::rotl(b, 12);
  a += b; d ^= a; d = std::rotl(d, 8);
  c += d; b ^= c; b = std::rotl(b, 7);
}

inline std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// The top 52 bits of `bits` as the mantissa of a double with the given biased
// exponent: 1023 gives a value in [1, 2), 1024 one in [2, 4).
inline double mantissa_float(std::uint64_t bits, std::uint64_t biased_exponent) {
  return std::bit_cast<double>((bits >> 12) | (biased_exponent << 52));
}

// Uniform in the open interval (0, 1).
double open01(ChaCha12Rng& rng) {
  return mantissa_float(rng.next_u64(), 1023) - (1.0 - 0x1p-53);
}

// Uniform in [0, 1) with 53 bits.
double closed_open01(ChaCha12Rng& rng) {
  return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53;
}

}  // namespace

ChaCha12Rng ChaCha12Rng::seed_from_u64(std::uint64_t seed) {
  // PCG32 (XSH-RR) outputs, each stored little-endian: 8 of them fill the key.
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::array<std::uint8_t, 32> key{};
  std::uint64_t state = seed;
  for (std::size_t chunk = 0; chunk < 8; ++chunk) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    const std::uint32_t word = std::rotr(xorshifted, rot);
    for (std::size_t b = 0; b < 4; ++b) {
      key[chunk * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
  }
  return ChaCha12Rng(key);
}

ChaCha12Rng::ChaCha12Rng(const std::array<std::uint8_t, 32>& key) : key_(key) {}

void ChaCha12Rng::refill() {
  std::array<std::uint32_t, 16> input;
  for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) input[4 + i] = load_le32(key_.data() + 4 * i);
  input[12] = static_cast<std::uint32_t>(counter_);
  input[13] = static_cast<std::uint32_t>(counter_ >> 32);
  input[14] = 0;  // stream id
  input[15] = 0;

  std::array<std::uint32_t, 16> x = input;
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) block_[i] = x[i] + input[i];
  ++counter_;
  word_ = 0;
}

std::uint64_t ChaCha12Rng::next_u64() {
  // Every draw takes two words, so a 64-bit value never straddles blocks.
  if (word_ >= 16) refill();
  const std::uint64_t lo = block_[word_];
  const std::uint64_t hi = block_[word_ + 1];
  word_ += 2;
  return lo | (hi << 32);
}

float ChaCha12Rng::sign() { return (next_u64() >> 63) != 0 ? -1.0f : 1.0f; }

double ChaCha12Rng::standard_normal() {
  using ziggurat::kF;
  using ziggurat::kTailStart;
  using ziggurat::kX;
  for (;;) {
    const std::uint64_t bits = next_u64();
    const std::size_t i = bits & 0xff;
    // Symmetric uniform in [-1, 1) from the top 52 bits: [2, 4) - 3.
    const double u = mantissa_float(bits, 1024) - 3.0;
    const double x = u * kX[i];
    if (std::fabs(x) < kX[i + 1]) return x;
    if (i == 0) {
      // Tail beyond R (Marsaglia's method).
      double tx = 1.0;
      double ty = 0.0;
      while (-2.0 * ty < tx * tx) {
        const double a = open01(*this);
        const double b = open01(*this);
        tx = std::log(a) / kTailStart;
        ty = std::log(b);
      }
      return u < 0.0 ? tx - kTailStart : kTailStart - tx;
    }
    if (kF[i + 1] + (kF[i] - kF[i + 1]) * closed_open01(*this) < std::exp(-x * x / 2.0)) return x;
  }
}

std::vector<float> draw_signs(ChaCha12Rng& rng, std::size_t count) {
  std::vector<float> out(count);
  for (float& s : out) s = rng.sign();
  return out;
}

std::vector<float> draw_gaussians(ChaCha12Rng& rng, std::size_t count) {
  std::vector<float> out(count);
  for (float& g : out) g = static_cast<float>(rng.standard_normal());
  return out;
}

}  // namespace velq
