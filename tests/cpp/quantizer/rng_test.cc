// The generator against the reference streams in tests/data/random. Every
// expected value comes from those files.
#include <gtest/gtest.h>

#include <bit>
#include <sstream>
#include <string>
#include <vector>

#include "quantizer/rng.h"
#include "quantizer/test_support.h"
#include "quantizer/ziggurat_tables.h"

namespace velq {
namespace {

using velq::testing::reference_lines;
using velq::testing::reference_u64s;

std::uint32_t hex32(const std::string& text) {
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

// Reads "<f64> <f32 bits>" from `fields` and checks the next sample of `rng`
// against both.
void expect_normal(ChaCha12Rng& rng, std::istream& fields, std::size_t index) {
  std::string value, bits;
  fields >> value >> bits;
  const double want = std::stod(value);
  const double got = rng.standard_normal();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want))
      << "sample " << index << ": got " << got << " want " << value;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(got)), hex32(bits))
      << "sample " << index;
}

TEST(Rng, SeedExpansionMatchesReferenceKey) {
  const std::vector<std::string> lines = reference_lines("pcg32_seed_expansion_42.txt");
  ASSERT_EQ(lines.size(), 1u);
  const auto key = ChaCha12Rng::seed_from_u64(42).key();
  std::string hex;
  for (std::uint8_t byte : key) {
    static const char* digits = "0123456789abcdef";
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  EXPECT_EQ(hex, lines[0]);
}

TEST(Rng, U64StreamsMatchReference) {
  const struct {
    const char* file;
    std::uint64_t seed;
    std::size_t count;
  } cases[] = {
      {"chacha12_u64_seed42.txt", 42, 64},
      {"chacha12_u64_seed_xor.txt", 42 ^ 0xDEADBEEFull, 64},
      {"chacha12_u64_seed0.txt", 0, 16},
      {"chacha12_u64_seed18446744073709551615.txt", ~0ull, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<std::uint64_t> want = reference_u64s(c.file);
    ASSERT_EQ(want.size(), c.count);
    ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(c.seed);
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(rng.next_u64(), want[i]) << "output " << i;
    }
  }
}

TEST(Rng, SignsAreTopBits) {
  const std::vector<std::string> lines = reference_lines("signs_seed42_n16.txt");
  ASSERT_EQ(lines.size(), 16u);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(42);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(rng.sign(), std::stof(lines[i])) << "sign " << i;
  }
}

TEST(Rng, NormalFastPathMatchesReference) {
  const std::vector<std::string> lines = reference_lines("normal_f64_seed42.txt");
  ASSERT_EQ(lines.size(), 64u);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(42);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    expect_normal(rng, fields, i);
  }
}

// 4096 samples cover the wedge rejections and the tail; the per-sample count
// of 64-bit outputs is checked by drawing from a twin generator in lockstep.
TEST(Rng, NormalAllPathsMatchReferenceAndConsumption) {
  const std::vector<std::string> lines = reference_lines("normal_f64_seed42_n4096_consumption.txt");
  ASSERT_EQ(lines.size(), 4096u);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(42);
  ChaCha12Rng twin = ChaCha12Rng::seed_from_u64(42);
  std::size_t multi_output = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::size_t index = 0, used = 0;
    fields >> index;
    ASSERT_EQ(index, i);
    expect_normal(rng, fields, i);
    fields >> used;
    for (std::size_t k = 0; k < used; ++k) twin.next_u64();
    // Both generators now stand at the same word: their next outputs agree.
    ChaCha12Rng probe_a = rng;
    ChaCha12Rng probe_b = twin;
    ASSERT_EQ(probe_a.next_u64(), probe_b.next_u64()) << "sample " << i << " used " << used;
    if (used > 1) ++multi_output;
  }
  EXPECT_EQ(multi_output, 51u);  // 27 wedge/tail samples with 2 outputs, 24 with 3
}

TEST(Rng, U64AndNormalDrawsShareOneStream) {
  const std::vector<std::string> lines = reference_lines("interleave_seed42.txt");
  ASSERT_EQ(lines.size(), 9u);
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(42);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::string kind;
    fields >> kind;
    if (kind == "u64") {
      std::string value;
      fields >> value;
      EXPECT_EQ(rng.next_u64(), std::stoull(value)) << "line " << i;
    } else {
      ASSERT_EQ(kind, "normal");
      expect_normal(rng, fields, i);
    }
  }
}

TEST(Rng, ZigguratTablesAreBitExact) {
  const std::vector<std::string> lines = reference_lines("zig_norm_tables.txt");
  ASSERT_EQ(lines.size(), 257u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::size_t index = 0;
    std::string x_bits, f_bits;
    fields >> index >> x_bits >> f_bits;
    ASSERT_EQ(index, i);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ziggurat::kX[i]), std::stoull(x_bits, nullptr, 16)) << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ziggurat::kF[i]), std::stoull(f_bits, nullptr, 16)) << i;
  }
  EXPECT_EQ(ziggurat::kTailStart, ziggurat::kX[1]);
}

}  // namespace
}  // namespace velq
