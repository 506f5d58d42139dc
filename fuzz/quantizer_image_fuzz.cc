// Hostile quantizer.bin images. An input whose first byte is even is decoded
// as it is; otherwise the next bytes choose a small real quantizer, whose
// image is cut short and has bits flipped at places the input picks, which
// reaches far deeper into the decoder than random bytes. Decoding must fail
// cleanly or yield a quantizer that re-encodes to the same bytes and can
// encode, score and decode a vector without touching memory it does not own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <tuple>
#include <vector>

#include "common/panic.h"
#include "quantizer/quantizer_image.h"

namespace {

void exercise(std::span<const std::uint8_t> bytes) {
  auto decoded = velq::decode_quantizer_image(bytes);
  if (!decoded.ok()) return;
  const velq::ProdQuantizer& q = *decoded;
  // Compared as bytes: a flipped bit may have made a float NaN.
  const std::vector<std::uint8_t> image = velq::encode_quantizer_image(q);
  const auto again = velq::decode_quantizer_image(image);
  if (!again.ok() || velq::encode_quantizer_image(*again) != image) __builtin_trap();
  if (q.d() == 0 || q.d() > 64) return;
  try {
    std::vector<float> x(q.d());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 7) - 3.0f;
    const velq::EncodedVector code = q.quantize(x);
    const auto packed = q.pack_mse_indices(code.mse_indices);
    (void)q.score_ip_packed(q.prepare_ip_query(x), packed, code.qjl_bits, code.gamma);
    (void)q.score_ip_encoded_lite(q.prepare_ip_query_lite(x), code.mse_indices, code.qjl_bits,
                                  code.gamma);
    (void)q.dequantize(code.mse_indices, code.qjl_bits, code.gamma);
  } catch (const velq::Panic&) {
    // A violated invariant is reported, not a memory fault.
  }
}

// A valid image of a quantizer chosen by three bytes, then damaged as the
// remaining bytes say: (position, xor mask) pairs, the first pair's position
// also giving the length to keep.
std::vector<std::uint8_t> damaged_image(std::span<const std::uint8_t> in) {
  if (in.size() < 3) return {};
  const std::uint64_t d = 1 + in[0] % 12;
  const std::uint64_t b = 2 + in[1] % 3;
  const bool dense = (in[1] / 3) % 2 == 1;
  const std::uint64_t seed = in[2] % 4;
  // Building a codebook is slow next to a decode: build each quantizer once.
  static std::map<std::tuple<std::uint64_t, std::uint64_t, bool, std::uint64_t>,
                  std::vector<std::uint8_t>>
      images;
  auto [it, fresh] = images.try_emplace({d, b, dense, seed});
  if (fresh) {
    it->second = velq::encode_quantizer_image(dense ? velq::ProdQuantizer::new_dense_fast(d, b, seed)
                                                    : velq::ProdQuantizer::new_srht(d, b, seed));
  }
  std::vector<std::uint8_t> image = it->second;
  for (std::size_t i = 3; i + 1 < in.size(); i += 2) {
    const std::size_t at = in[i] * image.size() / 256;
    if (i == 3) image.resize(image.size() - at / 8);
    if (!image.empty()) image[at % image.size()] ^= in[i + 1];
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    exercise(rest);
  } else {
    exercise(damaged_image(rest));
  }
  return 0;
}
