#include "linalg/hadamard.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>
#include <vector>

#include "common/cpu_features.h"
#include "quantizer/test_support.h"

namespace velq::linalg {
namespace {

using velq::testing::panic_message;
using velq::testing::random_signs;
using velq::testing::random_vector;

void expect_bits_equal(std::span<const float> a, std::span<const float> b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(a[i]), std::bit_cast<std::uint32_t>(b[i]))
        << "index " << i << " of " << a.size();
  }
}

TEST(Npow2, SmallestPowerAtLeast) {
  EXPECT_EQ(npow2(0), 1u);
  EXPECT_EQ(npow2(1), 1u);
  EXPECT_EQ(npow2(3), 4u);
  EXPECT_EQ(npow2(384), 512u);
  EXPECT_EQ(npow2(1024), 1024u);
  EXPECT_EQ(npow2(1025), 2048u);
  EXPECT_EQ(npow2(std::size_t{1} << 63), std::size_t{1} << 63);
  EXPECT_EQ(panic_message([] { npow2((std::size_t{1} << 63) + 1); }),
            "length too large for a power-of-two transform");
}

TEST(Fwht, SmallCases) {
  std::vector<float> one = {3.5f};
  fwht(one);
  EXPECT_EQ(one[0], 3.5f);

  std::vector<float> pair = {2.0f, 5.0f};
  fwht(pair);
  EXPECT_EQ(pair, (std::vector<float>{7.0f, -3.0f}));

  std::vector<float> impulse = {1.0f, 0.0f, 0.0f, 0.0f};
  fwht(impulse);
  EXPECT_EQ(impulse, (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}));
}

TEST(Fwht, RejectsLengthsThatAreNotPowersOfTwo) {
  for (std::size_t len : {0u, 6u, 12u, 1000u}) {
    std::vector<float> v(len);
    EXPECT_EQ(panic_message([&] { fwht_portable(v); }), "FWHT requires power-of-2 length") << len;
    EXPECT_EQ(panic_message([&] { fwht(v); }), "FWHT requires power-of-2 length") << len;
#if VELQ_X86
    if (has_avx2()) {
      EXPECT_EQ(panic_message([&] { fwht_avx2(v); }), "FWHT requires power-of-2 length") << len;
    }
#endif
  }
}

// Applying the unnormalised transform twice multiplies by the length.
TEST(Fwht, IsItsOwnInverseUpToLength) {
  std::vector<float> v = random_vector(256, 1);
  std::vector<float> w = v;
  fwht(w);
  fwht(w);
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(w[i] / 256.0f, v[i], 1e-5f);
}

TEST(HadamardAvx2, BitIdenticalToPortable) {
#if VELQ_X86
  if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  for (std::size_t len = 1; len <= 4096; len *= 2) {
    std::vector<float> a = random_vector(len, static_cast<unsigned>(len));
    std::vector<float> b = a;
    fwht_portable(a);
    fwht_avx2(b);
    expect_bits_equal(a, b);
  }
  // Scaling has a vector body and a scalar tail: cover every tail length.
  for (std::size_t len = 0; len <= 40; ++len) {
    std::vector<float> a = random_vector(len, 7);
    std::vector<float> b = a;
    scale_portable(a, 0.0883883476f);
    scale_avx2(b, 0.0883883476f);
    expect_bits_equal(a, b);
  }
  // Whole rotations over every padding amount up to 130, then larger sizes.
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 130; ++d) dims.push_back(d);
  for (std::size_t d : {255u, 256u, 257u, 384u, 768u, 1000u, 1536u, 2048u, 3000u, 4096u}) {
    dims.push_back(d);
  }
  for (std::size_t d : dims) {
    const std::size_t n = npow2(d);
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d) + 100);
    const std::vector<float> signs = random_signs(n, static_cast<unsigned>(d));
    std::vector<float> fa(n), fb(n), ia(d), ib(d);
    srht_portable(x, signs, fa);
    srht_avx2(x, signs, fb);
    expect_bits_equal(fa, fb);
    inverse_srht_portable(fa, signs, ia, d);
    inverse_srht_avx2(fa, signs, ib, d);
    expect_bits_equal(ia, ib);
  }
#else
  GTEST_SKIP() << "not an x86 build";
#endif
}

TEST(Srht, EmptyInputGivesOneZero) {
  std::vector<float> out = {9.0f};
  const std::vector<float> signs = {1.0f};
  srht({}, signs, out);
  EXPECT_EQ(out, std::vector<float>{0.0f});
}

TEST(Srht, PadsAndScales) {
  const std::vector<float> x = {1.0f, 2.0f, 3.0f};
  const std::vector<float> signs = {1.0f, 1.0f, 1.0f, 1.0f};
  std::vector<float> out(4);
  srht(x, signs, out);
  // H·[1,2,3,0] = [6, 2, 0, -4], then × 1/2.
  EXPECT_EQ(out, (std::vector<float>{3.0f, 1.0f, 0.0f, -2.0f}));
}

TEST(Srht, LengthInvariantsPanic) {
  const std::vector<float> x(5, 1.0f);
  std::vector<float> out(8);
  const std::vector<float> short_signs(7, 1.0f);
  EXPECT_EQ(panic_message([&] { srht(x, short_signs, out); }),
            "assertion failed: signs.len() >= n");
  const std::vector<float> signs(8, 1.0f);
  std::vector<float> wrong_out(5);
  EXPECT_NE(panic_message([&] { srht(x, signs, wrong_out); }), "no panic");

  std::vector<float> y(8), back(5);
  EXPECT_EQ(panic_message([&] { inverse_srht(y, short_signs, back, 5); }),
            "assertion failed: signs.len() >= n");
  std::vector<float> wrong_y(5);
  EXPECT_NE(panic_message([&] { inverse_srht(wrong_y, signs, back, 5); }), "no panic");
  std::vector<float> short_back(4);
  EXPECT_NE(panic_message([&] { inverse_srht(y, signs, short_back, 5); }), "no panic");
}

TEST(Srht, InverseUndoesForward) {
  for (std::size_t d : {1u, 2u, 3u, 100u, 384u, 512u, 768u, 1000u}) {
    const std::size_t n = npow2(d);
    const std::vector<float> x = random_vector(d, static_cast<unsigned>(d));
    const std::vector<float> signs = random_signs(n, 3);
    std::vector<float> y(n), back(d);
    srht(x, signs, y);
    inverse_srht(y, signs, back, d);
    for (std::size_t i = 0; i < d; ++i) {
      EXPECT_NEAR(back[i], x[i], 1e-5f) << "d=" << d << " i=" << i;
    }
  }
}

// <q, inverse(y)> = <forward(q), y>: the scorer relies on the transpose.
TEST(Srht, InverseIsTransposeOfForward) {
  const std::size_t d = 300, n = npow2(d);
  const std::vector<float> q = random_vector(d, 11);
  const std::vector<float> y = random_vector(n, 12);
  const std::vector<float> signs = random_signs(n, 13);
  std::vector<float> fq(n), iy(d);
  srht(q, signs, fq);
  inverse_srht(y, signs, iy, d);
  double lhs = 0.0, rhs = 0.0;
  for (std::size_t i = 0; i < d; ++i) lhs += double(q[i]) * iy[i];
  for (std::size_t i = 0; i < n; ++i) rhs += double(fq[i]) * y[i];
  EXPECT_NEAR(lhs, rhs, 1e-3);
}

// A thread alternating large and small transforms reuses one scratch buffer;
// its results must equal those of a thread that only ever saw the small size.
TEST(Srht, ScratchReuseAcrossSizes) {
  const std::vector<float> big_y = random_vector(1024, 21);
  const std::vector<float> big_signs = random_signs(1024, 22);
  const std::vector<float> small_y = random_vector(8, 23);
  const std::vector<float> small_signs = random_signs(8, 24);

  std::vector<float> fresh(7);
  std::thread([&] { inverse_srht(small_y, small_signs, fresh, 7); }).join();

  std::vector<float> big_first(1000), big_again(1000), small(7);
  inverse_srht(big_y, big_signs, big_first, 1000);
  for (int round = 0; round < 3; ++round) {
    inverse_srht(small_y, small_signs, small, 7);
    expect_bits_equal(small, fresh);
    inverse_srht(big_y, big_signs, big_again, 1000);
    expect_bits_equal(big_again, big_first);
  }
}

}  // namespace
}  // namespace velq::linalg
