#include "quantizer/quantizer_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "quantizer/test_support.h"

namespace velq {
namespace {

std::uint64_t u64_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint64_t v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

void put_u64_at(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

bool is_decode_error(const Result<ProdQuantizer>& r) {
  return !r.ok() && r.error().message().rfind("decode error", 0) == 0;
}

TEST(QuantizerImage, SrhtLayout) {
  const ProdQuantizer q = ProdQuantizer::new_srht(384, 4, 42);
  const auto image = encode_quantizer_image(q);
  // 48 + (8 + 2048) + (8 + 32) + 1 + 16 + (8 + 2048) + 1 + 1
  ASSERT_EQ(image.size(), 4219u);
  EXPECT_EQ(u64_at(image, 0), 384u);
  EXPECT_EQ(u64_at(image, 8), 512u);
  EXPECT_EQ(u64_at(image, 16), 4u);
  EXPECT_EQ(u64_at(image, 40), 3u);              // MSE bits
  EXPECT_EQ(u64_at(image, 48), 512u);            // rotation sign count
  EXPECT_EQ(u64_at(image, 48 + 8 + 2048), 8u);   // centroid count
  EXPECT_EQ(image[48 + 8 + 2048 + 8 + 32], 0);   // no rotation matrix
  EXPECT_EQ(image[image.size() - 2], 0);         // no projection matrix
  EXPECT_EQ(image.back(), 0);                    // not fast
  float first_sign;
  std::memcpy(&first_sign, image.data() + 56, sizeof first_sign);
  EXPECT_EQ(first_sign, q.mse_quantizer().rotation_signs[0]);
}

TEST(QuantizerImage, DenseLayout) {
  const ProdQuantizer q = ProdQuantizer::new_dense_fast(2, 2, 1);
  const auto image = encode_quantizer_image(q);
  std::size_t at = 48;
  EXPECT_EQ(u64_at(image, at), 0u);  // no rotation signs
  at += 8;
  EXPECT_EQ(u64_at(image, at), 4u);  // 2 bits, fast: 4 levels
  at += 8 + 16;
  EXPECT_EQ(image[at], 1);
  EXPECT_EQ(u64_at(image, at + 1), 4u);  // d*d
  at += 1 + 8 + 16;
  EXPECT_EQ(u64_at(image, at), 2u);      // qjl d
  EXPECT_EQ(u64_at(image, at + 8), 2u);  // qjl n
  EXPECT_EQ(u64_at(image, at + 16), 0u);
  at += 24;
  EXPECT_EQ(image[at], 1);
  EXPECT_EQ(u64_at(image, at + 1), 4u);
  at += 1 + 8 + 16;
  EXPECT_EQ(image[at], 1);  // fast
  EXPECT_EQ(at + 1, image.size());
}

// Both forms and both modes come back equal, and the loaded quantizer
// encodes and scores exactly as the one that was saved.
TEST(QuantizerImage, RoundTripGivesTheSameCodes) {
  for (const auto& q : {ProdQuantizer::new_srht(100, 4, 1), ProdQuantizer::new_srht_fast(7, 3, 2),
                        ProdQuantizer::new_dense(12, 3, 3), ProdQuantizer::new_dense_fast(5, 2, 4)}) {
    auto back = decode_quantizer_image(encode_quantizer_image(q));
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(*back, q);
    const auto x = testing::random_vector(q.d(), 5);
    const EncodedVector a = q.quantize(x);
    const EncodedVector b = back->quantize(x);
    EXPECT_EQ(a.mse_indices, b.mse_indices);
    EXPECT_EQ(a.qjl_bits, b.qjl_bits);
    EXPECT_EQ(a.gamma, b.gamma);
    EXPECT_EQ(q.score_ip_encoded(q.prepare_ip_query(x), a.mse_indices, a.qjl_bits, a.gamma),
              back->score_ip_encoded(back->prepare_ip_query(x), b.mse_indices, b.qjl_bits, b.gamma));
  }
}

TEST(QuantizerImage, MalformedBytesFail) {
  const auto image = encode_quantizer_image(ProdQuantizer::new_srht(20, 3, 9));
  EXPECT_TRUE(decode_quantizer_image(image).ok());
  // Every truncation fails, the one-byte cut included.
  for (std::size_t len = 0; len < image.size(); ++len) {
    EXPECT_TRUE(is_decode_error(decode_quantizer_image(std::span(image.data(), len)))) << len;
  }
  auto bad_fast = image;
  bad_fast.back() = 2;
  EXPECT_TRUE(is_decode_error(decode_quantizer_image(bad_fast)));
  auto bad_tag = image;
  const std::size_t tag_at = 48 + 8 + 4 * 32 + 8 + 4 * 4;  // n = 32, 4 levels
  ASSERT_EQ(bad_tag[tag_at], 0);
  bad_tag[tag_at] = 2;
  EXPECT_TRUE(is_decode_error(decode_quantizer_image(bad_tag)));
}

// Counts are checked against the bytes present before anything is reserved.
TEST(QuantizerImage, HostileCountsAllocateNothing) {
  auto image = encode_quantizer_image(ProdQuantizer::new_srht(20, 3, 9));
  for (std::uint64_t count : {std::uint64_t{1} << 40, std::numeric_limits<std::uint64_t>::max(),
                              std::uint64_t{1} << 62}) {
    auto hostile = image;
    put_u64_at(hostile, 48, count);
    EXPECT_TRUE(is_decode_error(decode_quantizer_image(hostile)));
  }
}

// Images the encoder never writes, whose fields would let later calls read
// outside their lists, are refused.
TEST(QuantizerImage, InconsistentFieldsFail) {
  const ProdQuantizer good = ProdQuantizer::new_srht(20, 3, 9);
  // The quantizer's parts, open to changes the constructors never make.
  struct Parts {
    std::uint64_t d, n, b;
    MseQuantizer mse;
    QjlQuantizer qjl;
    bool fast;
  };
  auto mutate = [&](auto&& change) {
    Parts p{good.d(), good.n(), good.b(), good.mse_quantizer(), good.qjl_quantizer(),
            good.fast_mode()};
    change(p);
    const ProdQuantizer q = ProdQuantizer::from_parts(p.d, p.n, p.b, p.mse, p.qjl, p.fast);
    return decode_quantizer_image(encode_quantizer_image(q));
  };
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) { q.mse.centroids.pop_back(); })));
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) { q.mse.b = 40; })));
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) { q.qjl.projection_signs.pop_back(); })));
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) { q.n = q.mse.n = q.qjl.n = 64; })));
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) { q.qjl.d = 21; })));
  EXPECT_TRUE(is_decode_error(mutate([](Parts& q) {
    q.qjl.projection_matrix = std::vector<float>(399);  // dense form needs 20 x 20
    q.n = q.mse.n = q.qjl.n = 20;
  })));
  // A stage b that disagrees with the total is harmless and kept as stored.
  EXPECT_TRUE(mutate([](Parts& q) { q.b = 9; }).ok());
}

}  // namespace
}  // namespace velq
