#include "quantizer/reconstruction_norms.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/panic.h"
#include "quantizer/test_support.h"

namespace velq {
namespace {

// Codes laid out as slots: packed indices, sign bytes (none in fast mode),
// gamma f32, then a norm and a flag byte the norms never read.
struct Slots {
  std::vector<std::uint8_t> bytes;
  std::size_t stride = 0;
};

Slots as_slots(const ProdQuantizer& q, const std::vector<EncodedVector>& codes) {
  const std::size_t m = q.packed_mse_len(), s = q.fast_mode() ? 0 : q.qjl_len();
  Slots slots;
  slots.stride = m + s + 9;
  slots.bytes.assign(codes.size() * slots.stride, 0xA5);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    std::uint8_t* p = slots.bytes.data() + i * slots.stride;
    const std::vector<std::uint8_t> packed = q.pack_mse_indices(codes[i].mse_indices);
    std::memcpy(p, packed.data(), m);
    std::memcpy(p + m, codes[i].qjl_bits.data(), s);
    const float gamma = static_cast<float>(codes[i].gamma);
    std::memcpy(p + m + s, &gamma, 4);
  }
  return slots;
}

// The norms built from stored slots, as an open builds them, carry the bits
// the write path kept from the making of the same codes, for every rotation
// and mode, over a count that leaves the last block of the build short.
TEST(ReconstructionNorms, BuiltNormsAreThoseTheWritesKept) {
  for (const auto& q : {ProdQuantizer::new_dense(48, 4, 9), ProdQuantizer::new_dense_fast(48, 4, 9),
                        ProdQuantizer::new_srht(48, 4, 9), ProdQuantizer::new_srht_fast(48, 4, 9),
                        ProdQuantizer::new_dense(48, 3, 9)}) {
    const std::size_t count = 2 * q.batch_block_rows() + 37;
    const std::vector<float> rows = testing::random_vector(count * q.d(), 31);
    std::vector<EncodedVector> codes(count);
    std::vector<double> kept(count);
    // Writes come in chunks of their own, cut apart from the build's blocks.
    for (std::size_t first = 0; first < count; first += 100) {
      const std::size_t take = std::min<std::size_t>(100, count - first);
      q.quantize_rows(std::span(rows).subspan(first * q.d(), take * q.d()),
                      std::span(codes).subspan(first, take), std::span(kept).subspan(first, take));
    }
    const Slots slots = as_slots(q, codes);
    const ReconstructionNorms built = ReconstructionNorms::build(q, slots.bytes, slots.stride, count);
    ASSERT_EQ(built.size(), count);
    ReconstructionNorms one_by_one = ReconstructionNorms::build(q, slots.bytes, slots.stride, 0);
    for (std::size_t s = 0; s < count; ++s) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(built.squared(s)), std::bit_cast<std::uint64_t>(kept[s]))
          << "d " << q.d() << " fast " << q.fast_mode() << " slot " << s;
      one_by_one.update(q, s, std::span(slots.bytes).subspan(s * slots.stride, slots.stride));
      ASSERT_EQ(std::bit_cast<std::uint64_t>(one_by_one.squared(s)),
                std::bit_cast<std::uint64_t>(kept[s]))
          << "updated slot " << s;
    }
    EXPECT_THROW(ReconstructionNorms::build(q, slots.bytes, slots.stride, count + 1), Panic);
    EXPECT_THROW(ReconstructionNorms::build(q, slots.bytes, q.packed_mse_len() + 3, 1), Panic);
  }
}

}  // namespace
}  // namespace velq
