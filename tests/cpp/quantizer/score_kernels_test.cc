#include "quantizer/score_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "common/panic.h"
#include "quantizer/packing.h"
#include "quantizer/pair_tables.h"

namespace velq::scoring {
namespace {

const std::size_t kLengths[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 100, 512, 1000};

// One query and one code of n coordinates with 2^bits levels.
struct Case {
  std::size_t n;
  unsigned bits;
  std::vector<float> levels, q_rot, lut, q_proj;
  std::vector<std::uint16_t> idx;
  std::vector<std::uint8_t> packed, signs;

  Case(std::size_t n_, unsigned bits_, std::uint32_t seed) : n(n_), bits(bits_) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    const std::size_t k = std::size_t{1} << bits;
    levels.resize(k);
    for (auto& v : levels) v = normal(gen);
    std::sort(levels.begin(), levels.end());
    q_rot.resize(n);
    q_proj.resize(n);
    for (auto& v : q_rot) v = normal(gen);
    for (auto& v : q_proj) v = normal(gen);
    // The table grows as n * 2^bits; the widest codebooks are tested in level form only.
    for (std::size_t i = 0; i < n && bits <= 10; ++i) {
      for (std::size_t c = 0; c < k; ++c) lut.push_back(levels[c] * q_rot[i]);
    }
    idx.resize(n);
    for (auto& v : idx) v = static_cast<std::uint16_t>(gen() % k);
    packed = packing::pack(idx, n, bits);
    signs.resize((n + 7) / 8);
    for (auto& v : signs) v = static_cast<std::uint8_t>(gen());
  }

  // Worst-case f32 summation error of either kernel, doubled: both may err.
  float tolerance(float sum_abs) const { return 2.0f * (n + 1) * FLT_EPSILON * sum_abs + 1e-6f; }
  float mse_abs() const {
    float s = 0;
    for (std::size_t i = 0; i < n; ++i) s += std::fabs(levels[idx[i]] * q_rot[i]);
    return s;
  }
  float proj_abs() const {
    float s = 0;
    for (float v : q_proj) s += std::fabs(v);
    return s;
  }
};

// The vector kernel sets this processor runs (VELQ_MAX_ISA may lower it).
std::vector<const ScoreKernels*> vector_sets() {
  std::vector<const ScoreKernels*> sets;
#if VELQ_X86
  if (has_avx2()) sets.push_back(&avx2_score_kernels());
  if (has_avx512()) sets.push_back(&avx512_score_kernels());
#endif
  return sets;
}

// The portable set and every vector set.
std::vector<const ScoreKernels*> all_sets() {
  std::vector<const ScoreKernels*> sets = vector_sets();
  sets.insert(sets.begin(), &portable_score_kernels());
  return sets;
}

// The packed portable kernels read the same indices in the same order as the
// unpacked ones, so they agree exactly; the vector kernels agree within
// summation error, for every width the lookup strategies cover.
TEST(ScoreKernels, MseTermsAgreeAcrossFormsAndKernels) {
  const ScoreKernels& p = portable_score_kernels();
  for (unsigned bits : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
    for (std::size_t n : kLengths) {
      SCOPED_TRACE(::testing::Message() << "bits=" << bits << " n=" << n);
      const Case c(n, bits, static_cast<std::uint32_t>(97 * bits + n));
      const std::size_t k = c.levels.size();
      const float lut = p.lut_sum(c.lut, k, c.idx, n);
      const float dot = p.level_dot(c.levels, c.q_rot, c.idx, n);
      EXPECT_EQ(p.lut_sum_packed(c.lut, k, c.packed, bits, n), lut);
      EXPECT_EQ(p.level_dot_packed(c.levels, c.q_rot, c.packed, bits, n), dot);
      EXPECT_NEAR(lut, dot, c.tolerance(c.mse_abs()));
      for (const ScoreKernels* v : vector_sets()) {
        SCOPED_TRACE(v->name);
        const float tol = c.tolerance(c.mse_abs());
        EXPECT_NEAR(v->lut_sum(c.lut, k, c.idx, n), lut, tol);
        EXPECT_NEAR(v->lut_sum_packed(c.lut, k, c.packed, bits, n), lut, tol);
        EXPECT_NEAR(v->level_dot(c.levels, c.q_rot, c.idx, n), dot, tol);
        EXPECT_NEAR(v->level_dot_packed(c.levels, c.q_rot, c.packed, bits, n), dot, tol);
      }
    }
  }
}

// Gathered levels (more than 16) at the full 16-bit width.
// The permute-free table kernel over every loop tail (lengths not multiples
// of 2, 8 or 16, packed bytes too short for a whole 8-byte load).
TEST(ScoreKernels, PairTablesAgreeWithPortableSums) {
  for (const std::size_t n : kLengths) {
    if (n == 0) continue;
    const Case c(n, 3, 40 + static_cast<std::uint32_t>(n));
    const PairTables t = build_pair_tables(c.levels, c.q_rot, c.q_proj, n);
    const ScoreTerms got = pair_table_terms(t, c.packed, c.signs);
    const auto& ref = portable_score_kernels();
    EXPECT_NEAR(got.mse, ref.level_dot(c.levels, c.q_rot, c.idx, n), c.tolerance(c.mse_abs())) << n;
    EXPECT_NEAR(got.signs, ref.sign_sum(c.q_proj, c.signs, n), c.tolerance(c.proj_abs())) << n;
    EXPECT_EQ(pair_table_terms(t, c.packed, {}).signs, 0.0f);
  }
}

TEST(ScoreKernels, WidestCodebook) {
  if (vector_sets().empty()) GTEST_SKIP() << "no vector kernels on this processor";
  const Case c(300, 16, 5);
  const float dot = portable_score_kernels().level_dot(c.levels, c.q_rot, c.idx, c.n);
  const float tol = c.tolerance(c.mse_abs());
  for (const ScoreKernels* v : vector_sets()) {
    EXPECT_NEAR(v->level_dot(c.levels, c.q_rot, c.idx, c.n), dot, tol) << v->name;
    EXPECT_NEAR(v->level_dot_packed(c.levels, c.q_rot, c.packed, 16, c.n), dot, tol) << v->name;
  }
}

// The one-pass form gives both sums of the separate kernels, also when the
// sign bytes cover fewer coordinates than the code (the pass then ends early
// for the sign term and finishes the MSE term alone).
TEST(ScoreKernels, FusedPassMatchesSeparateTerms) {
  const std::vector<const ScoreKernels*> sets = all_sets();
  const ScoreKernels& p = portable_score_kernels();
  for (unsigned bits : {1u, 3u, 4u, 5u, 8u, 9u}) {
    for (std::size_t n : kLengths) {
      const Case c(n, bits, static_cast<std::uint32_t>(31 * bits + n));
      const float mse = p.level_dot_packed(c.levels, c.q_rot, c.packed, bits, n);
      for (std::size_t sign_bytes : {c.signs.size(), c.signs.size() / 2}) {
        const std::span<const std::uint8_t> signs(c.signs.data(), sign_bytes);
        const float sgn = p.sign_sum(c.q_proj, signs, n);
        for (const ScoreKernels* ks : sets) {
          SCOPED_TRACE(::testing::Message() << ks->name << " bits=" << bits << " n=" << n
                                            << " sign bytes=" << sign_bytes);
          const ScoreTerms t =
              ks->level_dot_and_signs_packed(c.levels, c.q_rot, c.packed, bits, c.q_proj, signs, n);
          EXPECT_NEAR(t.mse, mse, c.tolerance(c.mse_abs()));
          EXPECT_NEAR(t.signs, sgn, c.tolerance(c.proj_abs()));
        }
      }
    }
  }
}

// The f64 form sums the one-pass form's terms with exact products: both
// kernel sets agree to f64 summation error, and with the f32 sums to theirs,
// at every width (register decoding, buffered decoding, gathered levels) and
// with sign bytes covering all or half of the coordinates. Codes are read
// in place from buffers of exactly their size.
TEST(ScoreKernels, WideTermsAgreeAcrossKernels) {
  const ScoreKernels& p = portable_score_kernels();
  for (unsigned bits : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 16u}) {
    for (std::size_t n : kLengths) {
      const Case c(n, bits, static_cast<std::uint32_t>(53 * bits + n));
      auto exact = std::make_unique<std::uint8_t[]>(c.packed.size());
      std::copy(c.packed.begin(), c.packed.end(), exact.get());
      const std::span<const std::uint8_t> packed(exact.get(), c.packed.size());
      double mse_abs = 0.0, proj_abs = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        mse_abs += std::fabs(static_cast<double>(c.levels[c.idx[i]]) * c.q_rot[i]);
        proj_abs += std::fabs(static_cast<double>(c.q_proj[i]));
      }
      const double wide_tol = 2.0 * static_cast<double>(n + 1) * 0x1p-53;
      for (std::size_t sign_bytes : {c.signs.size(), c.signs.size() / 2}) {
        SCOPED_TRACE(::testing::Message() << "bits=" << bits << " n=" << n
                                          << " sign bytes=" << sign_bytes);
        const std::span<const std::uint8_t> signs(c.signs.data(), sign_bytes);
        const WideTerms ref = p.wide_terms_packed(c.levels, c.q_rot, packed, bits, c.q_proj, signs, n);
        EXPECT_NEAR(ref.mse, p.level_dot(c.levels, c.q_rot, c.idx, n), c.tolerance(c.mse_abs()));
        EXPECT_NEAR(ref.signs, p.sign_sum(c.q_proj, signs, n), c.tolerance(c.proj_abs()));
#if VELQ_X86
        if (!has_avx2()) continue;
        const WideTerms v =
            avx2_score_kernels().wide_terms_packed(c.levels, c.q_rot, packed, bits, c.q_proj, signs, n);
        EXPECT_NEAR(v.mse, ref.mse, wide_tol * mse_abs);
        EXPECT_NEAR(v.signs, ref.signs, wide_tol * proj_abs);
#else
        (void)mse_abs, (void)proj_abs, (void)wide_tol;
#endif
      }
    }
  }
}

TEST(ScoreKernels, SignTermCountsOnlyCoveredCoordinates) {
  const std::vector<const ScoreKernels*> sets = all_sets();
  for (const ScoreKernels* ks : sets) {
    SCOPED_TRACE(ks->name);
    const std::vector<float> q = {1.0f, 2.0f, 4.0f, 8.0f};
    // Bits 0 and 2 set: +q0 -q1 +q2 -q3.
    EXPECT_EQ(ks->sign_sum(q, std::vector<std::uint8_t>{0b0101}, 4), 1.0f - 2.0f + 4.0f - 8.0f);
    EXPECT_EQ(ks->sign_sum(q, {}, 4), 0.0f);
    for (std::size_t n : kLengths) {
      SCOPED_TRACE(n);
      const Case c(n, 1, static_cast<std::uint32_t>(n));
      float expect = 0.0f;
      for (std::size_t i = 0; i < n; ++i) expect += (c.signs[i / 8] >> (i % 8)) & 1 ? c.q_proj[i] : -c.q_proj[i];
      EXPECT_NEAR(ks->sign_sum(c.q_proj, c.signs, n), expect, c.tolerance(c.proj_abs()));
      // Extra bytes are ignored; fewer bytes cover fewer coordinates.
      auto longer = c.signs;
      longer.push_back(0xFF);
      EXPECT_NEAR(ks->sign_sum(c.q_proj, longer, n), expect, c.tolerance(c.proj_abs()));
      if (n >= 16) {
        const std::span<const std::uint8_t> first(c.signs.data(), 1);
        float head = 0.0f;
        for (std::size_t i = 0; i < 8; ++i) head += (c.signs[0] >> i) & 1 ? c.q_proj[i] : -c.q_proj[i];
        EXPECT_NEAR(ks->sign_sum(c.q_proj, first, n), head, 1e-5f);
      }
    }
  }
}

// An index beyond the codebook is a fault in the caller; it must panic, not
// read outside the table, whether it sits in a vector step or in the tail.
TEST(ScoreKernels, IndexBeyondCodebookPanics) {
  const std::vector<const ScoreKernels*> sets = all_sets();
  for (const ScoreKernels* ks : sets) {
    for (std::size_t bad_at : {3u, 18u}) {
      SCOPED_TRACE(::testing::Message() << ks->name << " bad_at=" << bad_at);
      Case c(19, 3, 1);
      c.idx[bad_at] = 8;
      EXPECT_THROW(ks->lut_sum(c.lut, 8, c.idx, c.n), Panic);
      EXPECT_THROW(ks->level_dot(c.levels, c.q_rot, c.idx, c.n), Panic);
    }
  }
}

// Packed codes are read in place from a buffer of exactly their size: the
// register decoder must stop before a 4-byte load would cross the end (the
// sanitizer build checks the reads; this checks the values).
TEST(ScoreKernels, PackedReadsStayInsideTheirBytes) {
  if (vector_sets().empty()) GTEST_SKIP() << "no vector kernels on this processor";
  for (unsigned bits = 1; bits <= 8; ++bits) {
    for (std::size_t n : {8u, 17u, 24u, 40u, 200u}) {
      const Case c(n, bits, bits);
      auto exact = std::make_unique<std::uint8_t[]>(c.packed.size());
      std::copy(c.packed.begin(), c.packed.end(), exact.get());
      const std::span<const std::uint8_t> view(exact.get(), c.packed.size());
      const float dot = portable_score_kernels().level_dot(c.levels, c.q_rot, c.idx, n);
      for (const ScoreKernels* v : vector_sets()) {
        EXPECT_NEAR(v->level_dot_packed(c.levels, c.q_rot, view, bits, n), dot,
                    c.tolerance(c.mse_abs()))
            << v->name << " bits=" << bits << " n=" << n;
        const ScoreTerms t = v->level_dot_and_signs_packed(c.levels, c.q_rot, view, bits, c.q_proj,
                                                           c.signs, n);
        EXPECT_NEAR(t.mse, dot, c.tolerance(c.mse_abs())) << v->name << " bits=" << bits;
      }
    }
  }
}

TEST(ScoreKernels, ActiveSetFollowsProcessor) {
#if VELQ_X86
  EXPECT_EQ(&active_score_kernels(), has_avx512() ? &avx512_score_kernels()
                                     : has_avx2() ? &avx2_score_kernels()
                                                  : &portable_score_kernels());
#else
  EXPECT_EQ(&active_score_kernels(), &portable_score_kernels());
#endif
}

}  // namespace
}  // namespace velq::scoring
