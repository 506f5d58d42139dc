#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/byte_io.h"
#include "common/cache_size.h"
#include "common/cpu_features.h"
#include "common/half.h"
#include "index/sign_agreement.h"
#include "linalg/blocked_product.h"
#include "linalg/dense.h"
#include "linalg/hadamard.h"
#include "quantizer/first_pass.h"
#include "quantizer/nearest_level.h"
#include "quantizer/packing.h"
#include "quantizer/score_kernels.h"
#include "quantizer/sign_bits.h"
#include "search/vector_scoring.h"
#include "storage/metadata/slot_intersect_kernels.h"
#include "common/crc32.h"
#include "common/panic.h"
#include "common/result.h"
#include "common/worker_pool.h"

namespace velq {
namespace {

TEST(ByteIo, RoundTripsLittleEndian) {
  std::vector<std::uint8_t> buf;
  ByteWriter w(buf);
  w.u8(0xAB);
  w.u32(0x01020304);
  w.u64(0x1122334455667788ull);
  w.f32(1.5f);
  ASSERT_EQ(buf.size(), 17u);
  EXPECT_EQ(buf[1], 0x04);  // least significant byte first
  EXPECT_EQ(buf[4], 0x01);

  ByteReader r(buf);
  std::uint8_t a;
  std::uint32_t b;
  std::uint64_t c;
  float d;
  ASSERT_TRUE(r.u8(a) && r.u32(b) && r.u64(c) && r.f32(d));
  EXPECT_EQ(a, 0xAB);
  EXPECT_EQ(b, 0x01020304u);
  EXPECT_EQ(c, 0x1122334455667788ull);
  EXPECT_EQ(d, 1.5f);
  EXPECT_TRUE(r.at_end());
  EXPECT_FALSE(r.u8(a));
}

TEST(ByteIo, ShortReadsFailWithoutMoving) {
  std::vector<std::uint8_t> buf = {1, 2, 3};
  ByteReader r(buf);
  std::uint32_t v;
  EXPECT_FALSE(r.u32(v));
  EXPECT_EQ(r.position(), 0u);
  std::span<const std::uint8_t> s;
  EXPECT_FALSE(r.take(4, s));
  EXPECT_TRUE(r.take(3, s));
  EXPECT_EQ(s.size(), 3u);
}

TEST(ByteIo, FitsNeverOverflows) {
  std::vector<std::uint8_t> buf(16);
  ByteReader r(buf);
  EXPECT_TRUE(r.fits(4, 4));
  EXPECT_FALSE(r.fits(5, 4));
  EXPECT_FALSE(r.fits(1ull << 62, 8));  // count * size would wrap
  EXPECT_FALSE(r.fits(~0ull, 1));
}

TEST(Crc32, MatchesIeeeCheckValue) {
  const std::string s = "123456789";
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  EXPECT_EQ(crc32(bytes), 0xCBF43926u);
  EXPECT_EQ(crc32_update(crc32(bytes.first(4)), bytes.subspan(4)), 0xCBF43926u);
}

Result<int> half(int x) {
  if (x % 2 != 0) return Error("odd: " + std::to_string(x));
  return x / 2;
}

Result<int> quarter(int x) {
  VELQ_ASSIGN_OR_RETURN(int h, half(x));
  VELQ_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}

Status check_even(int x) {
  VELQ_RETURN_IF_ERROR(half(x));
  return ok_status();
}

TEST(Result, PropagatesFirstError) {
  EXPECT_EQ(*quarter(8), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "odd: 3");
  EXPECT_TRUE(check_even(2).ok());
  EXPECT_EQ(check_even(3).error().message(), "odd: 3");
}

TEST(Panic, AssertEqCarriesBothSides) {
  try {
    assert_eq(3, 4, "len");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_NE(std::string(p.what()).find("left: 3"), std::string::npos);
  }
}

// The two variables only ever lower the detected level: portable clears
// every flag, avx2 the AVX-512 ones; other values leave the processor's.
TEST(CpuFeatures, EnvironmentLowersTheLevel) {
  const auto same = [](const CpuFeatures& a, const CpuFeatures& b) {
    return a.avx2 == b.avx2 && a.fma == b.fma && a.f16c == b.f16c && a.avx512f == b.avx512f &&
           a.avx512bw == b.avx512bw && a.avx512vl == b.avx512vl && a.avx512vbmi == b.avx512vbmi;
  };
  const CpuFeatures none;
  const CpuFeatures detected = detect_cpu_features(nullptr, nullptr);
  EXPECT_TRUE(same(detect_cpu_features("1", nullptr), none));
  EXPECT_TRUE(same(detect_cpu_features("1", "avx512"), none));
  EXPECT_TRUE(same(detect_cpu_features(nullptr, "portable"), none));
  EXPECT_TRUE(same(detect_cpu_features("0", nullptr), detected));
  EXPECT_TRUE(same(detect_cpu_features("", "avx512"), detected));
  const CpuFeatures avx2 = detect_cpu_features(nullptr, "avx2");
  EXPECT_FALSE(avx2.avx512f || avx2.avx512bw || avx2.avx512vl || avx2.avx512vbmi);
  EXPECT_EQ(avx2.avx2, detected.avx2);
  EXPECT_EQ(avx2.fma, detected.fma);
  EXPECT_EQ(avx2.f16c, detected.f16c);
  // The AVX-512 level implies the AVX2 one (the kernels use both).
  EXPECT_TRUE(!has_avx512() || has_avx2());
}

// A level needs every instruction set its kernel files are compiled with.
TEST(CpuFeatures, KernelLevelNeedsEveryFlagOfItsFiles) {
  CpuFeatures f;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kPortable);
  f.avx2 = true;
  f.fma = true;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kPortable) << "no F16C";
  f.f16c = true;
  f.fma = false;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kPortable) << "no FMA";
  f.fma = true;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kAvx2);
  f.avx512f = f.avx512bw = f.avx512vl = true;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kAvx2) << "no VBMI";
  f.avx512vbmi = true;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kAvx512);
  f.avx2 = false;
  EXPECT_EQ(kernel_level_of(f), KernelLevel::kPortable) << "AVX-512 files use AVX2 too";
  EXPECT_EQ(kernel_level(), VELQ_X86 ? kernel_level_of(cpu_features()) : KernelLevel::kPortable);
}

struct ToyKernels {
  int width;
};
const ToyKernels& toy_portable() {
  static constexpr ToyKernels k{1};
  return k;
}
const ToyKernels& toy_avx2() {
  static constexpr ToyKernels k{8};
  return k;
}
const ToyKernels& toy_avx512() {
  static constexpr ToyKernels k{16};
  return k;
}

// The widest table the level allows, skipping levels a unit has no form for.
TEST(CpuFeatures, WidestKernelsFollowsTheLevel) {
  const int want_full = has_avx512() ? 16 : has_avx2() ? 8 : 1;
  EXPECT_EQ(widest_kernels(toy_portable, toy_avx2, toy_avx512).width, want_full);
  EXPECT_EQ(widest_kernels(toy_portable, toy_avx2).width, has_avx2() ? 8 : 1);
  EXPECT_EQ(widest_kernels(toy_portable, nullptr, toy_avx512).width, has_avx512() ? 16 : 1);
  EXPECT_EQ(widest_kernels(toy_portable, nullptr, nullptr).width, 1);
}

// Every unit's chosen table is the widest it has for this processor: a unit
// that left a level out, or wired a table to the wrong one, shows here.
TEST(CpuFeatures, EveryUnitChoosesItsWidestTable) {
  const auto widest = [](bool has_avx512_form) -> std::string {
    if (has_avx512_form && has_avx512()) return "avx512";
    return has_avx2() ? "avx2" : "portable";
  };
  EXPECT_EQ(half::active_half_kernels().name, widest(false));
  EXPECT_EQ(linalg::active_hadamard_kernels().name, widest(false));
  EXPECT_EQ(linalg::active_blocked_kernels().name, widest(true));
  EXPECT_EQ(linalg::active_dense_kernels().name, widest(true));
  EXPECT_EQ(scoring::active_score_kernels().name, widest(true));
  EXPECT_EQ(first_pass::active_first_pass_kernels().name, widest(true));
  EXPECT_EQ(packing::active_unpack_kernels().name, widest(true));
  EXPECT_EQ(active_nearest_level_kernels().name, widest(false));
  EXPECT_EQ(active_sign_bit_kernels().name, widest(false));
  EXPECT_EQ(sign_kernels::active_sign_agreement_kernels().name, widest(false));
  EXPECT_EQ(slot_kernels::active_slot_merge_kernels().name, widest(false));
  EXPECT_EQ(filter::active_vector_scoring_kernels().name, widest(true));
}

TEST(WorkerPool, SizeFromEnvironment) {
  EXPECT_EQ(pool_size_from_env("3", "5", 8), 3u);
  EXPECT_EQ(pool_size_from_env(nullptr, "5", 8), 5u);
  EXPECT_EQ(pool_size_from_env("0", "x", 8), 8u);
  EXPECT_EQ(pool_size_from_env("abc", nullptr, 8), 8u);
  EXPECT_EQ(pool_size_from_env(nullptr, nullptr, 0), 1u);
}

TEST(WorkerPool, CoversEveryIndexOnceAndRethrows) {
  std::vector<std::atomic<int>> hits(100000);
  parallel_for_each(hits.size(), 64, [&](std::size_t i) { hits[i]++; });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  EXPECT_THROW(parallel_for_each(100000, 16,
                                 [](std::size_t i) {
                                   if (i == 777) panic("boom");
                                 }),
               Panic);
}

TEST(CacheSize, ParsesSysfsSizes) {
  EXPECT_EQ(parse_cache_size("2048K\n"), 2u << 20);
  EXPECT_EQ(parse_cache_size("1M"), 1u << 20);
  EXPECT_EQ(parse_cache_size("524288"), 512u << 10);
  EXPECT_EQ(parse_cache_size(""), 0u);
  EXPECT_EQ(parse_cache_size("K"), 0u);
  EXPECT_EQ(parse_cache_size("0K"), 0u);
  EXPECT_EQ(parse_cache_size("12Q"), 0u);
  EXPECT_EQ(parse_cache_size("99999999999999999999G"), 0u);
  const std::size_t bytes = private_cache_bytes();
  EXPECT_GE(bytes, 64u << 10);
  EXPECT_LE(bytes, 64u << 20);
}

}  // namespace
}  // namespace velq
