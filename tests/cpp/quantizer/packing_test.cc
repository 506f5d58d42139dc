#include "quantizer/packing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq::packing {
namespace {

std::vector<std::uint16_t> random_indices(std::size_t n, unsigned bits, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint16_t> v(n);
  const std::uint32_t limit = 1u << bits;
  for (auto& x : v) x = static_cast<std::uint16_t>(gen() % limit);
  return v;
}

// The vector unpack forms this processor runs (VELQ_MAX_ISA may lower it).
std::vector<const UnpackKernels*> vector_forms() {
  std::vector<const UnpackKernels*> forms;
#if VELQ_X86
  if (has_avx2()) forms.push_back(&avx2_unpack_kernels());
  if (has_avx512()) forms.push_back(&avx512_unpack_kernels());
#endif
  return forms;
}

TEST(Packing, KnownBytes) {
  EXPECT_EQ(pack(std::vector<std::uint16_t>{5, 2, 7}, 3, 3), (std::vector<std::uint8_t>{0xD5, 0x01}));
  EXPECT_EQ(pack(std::vector<std::uint16_t>{1, 2, 3, 4}, 4, 4), (std::vector<std::uint8_t>{0x21, 0x43}));
  EXPECT_EQ(pack(std::vector<std::uint16_t>{1, 0, 1}, 3, 2), (std::vector<std::uint8_t>{0x11}));
  // Bits above the width are dropped, not spilled into the next index.
  EXPECT_EQ(pack(std::vector<std::uint16_t>{0xFF, 0}, 2, 2), (std::vector<std::uint8_t>{0x03}));
  // Eight bits: one byte per given index, whatever n says.
  EXPECT_EQ(pack(std::vector<std::uint16_t>{0x1FF, 7, 9}, 2, 8),
            (std::vector<std::uint8_t>{0xFF, 7, 9}));
  EXPECT_TRUE(pack(std::vector<std::uint16_t>{0, 0, 0}, 3, 0).empty());
}

TEST(Packing, RefusesShortInputAndWideIndices) {
  EXPECT_THROW(pack(std::vector<std::uint16_t>{1, 2}, 3, 3), Panic);
  EXPECT_THROW(pack(std::vector<std::uint16_t>{1}, 1, 17), Panic);
  std::vector<std::uint16_t> out(8);
  const std::vector<std::uint8_t> two_bytes = {0xFF, 0xFF};
  EXPECT_THROW(unpack_scalar(two_bytes, out, 8, 3), Panic);  // needs 3 bytes
  for (const UnpackKernels* form : vector_forms()) {
    EXPECT_THROW(form->unpack(two_bytes, out, 8, 3), Panic) << form->name;
  }
}

// Packing in place writes every byte of its output: a reused buffer full of
// old bytes gives what a fresh pack gives, and a wrong length is refused.
TEST(Packing, PackIntoOverwritesReusedBuffer) {
  for (unsigned bits : {1u, 3u, 4u, 8u, 13u}) {
    for (std::size_t n : {1, 5, 33, 384}) {
      SCOPED_TRACE(::testing::Message() << "bits=" << bits << " n=" << n);
      const auto idx = random_indices(n, bits, static_cast<std::uint32_t>(bits + n));
      std::vector<std::uint8_t> reused(pack_size(idx.size(), n, bits), 0xEE);
      pack_into(idx, n, bits, reused);
      EXPECT_EQ(reused, pack(idx, n, bits));
    }
  }
  const std::vector<std::uint16_t> idx = {1, 2, 3};
  std::vector<std::uint8_t> wrong(3);
  EXPECT_THROW(pack_into(idx, 3, 3, wrong), Panic);  // needs 2 bytes
}

// Every width, lengths around the 8-, 16- and 32-index group sizes, every form.
TEST(Packing, RoundTripsEveryWidthEveryForm) {
  for (unsigned bits = 0; bits <= kMaxBits; ++bits) {
    for (std::size_t n : {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 63, 64, 65, 100, 512, 1000}) {
      SCOPED_TRACE(::testing::Message() << "bits=" << bits << " n=" << n);
      const auto idx = random_indices(n, bits, static_cast<std::uint32_t>(bits * 1000 + n));
      const auto bytes = pack(idx, n, bits);
      ASSERT_EQ(bytes.size(), packed_len(n, bits));
      if (bits % 8 != 0 && n * bits % 8 != 0) {
        // The last byte's unused high bits stay zero.
        EXPECT_EQ(bytes.back() >> ((n * bits) % 8), 0);
      }
      std::vector<std::uint16_t> scalar(n, 0xABCD);
      unpack_scalar(bytes, scalar, n, bits);
      EXPECT_EQ(scalar, idx);
      for (const UnpackKernels* form : vector_forms()) {
        std::vector<std::uint16_t> vec(n, 0xABCD);
        form->unpack(bytes, vec, n, bits);
        EXPECT_EQ(vec, idx) << form->name;
      }
      std::vector<std::uint16_t> dispatched(n);
      unpack(bytes, dispatched, n, bits);
      EXPECT_EQ(dispatched, idx);
    }
  }
}

TEST(Packing, UnpackStopsAtShorterOutput) {
  const auto idx = random_indices(40, 4, 7);
  const auto bytes = pack(idx, 40, 4);
  // n = 40 at 4 bits: one group of 32 by the vector path, 8 by the scalar rule.
  std::vector<std::uint16_t> out(40);
  unpack(bytes, out, 40, 4);
  EXPECT_EQ(out, idx);
  // An output shorter than n is filled only as far as it goes.
  std::vector<std::uint16_t> shorter(35, 0);
  unpack(bytes, shorter, 40, 4);
  EXPECT_EQ(shorter, std::vector<std::uint16_t>(idx.begin(), idx.begin() + 35));
  // At 8 bits the byte count bounds the output instead of n.
  std::vector<std::uint16_t> wide(5, 99);
  unpack(std::vector<std::uint8_t>{1, 2, 3}, wide, 5, 8);
  EXPECT_EQ(wide, (std::vector<std::uint16_t>{1, 2, 3, 99, 99}));
}

// Packed bytes sitting inside a larger buffer (a slot) are read in place and
// nothing past the packed span is touched: the sanitizer build checks the
// reads, this checks the values.
TEST(Packing, ReadsOnlyItsOwnBytes) {
  for (unsigned bits = 1; bits <= 8; ++bits) {
    const std::size_t n = 61;
    const auto idx = random_indices(n, bits, bits);
    const auto packed = pack(idx, n, bits);
    auto* exact = new std::uint8_t[packed.size()];  // heap block of exactly this size
    std::copy(packed.begin(), packed.end(), exact);
    std::vector<const UnpackKernels*> forms = vector_forms();
    forms.push_back(&portable_unpack_kernels());
    for (const UnpackKernels* form : forms) {
      std::vector<std::uint16_t> out(n);
      form->unpack(std::span<const std::uint8_t>(exact, packed.size()), out, n, bits);
      EXPECT_EQ(out, idx) << form->name << " bits=" << bits;
    }
    delete[] exact;
  }
}

}  // namespace
}  // namespace velq::packing
