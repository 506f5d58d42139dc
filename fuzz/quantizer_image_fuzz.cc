// Hostile quantizer.bin images: decoding must fail cleanly or yield a
// quantizer that re-encodes to the same fields and can encode and score a
// vector without touching memory it does not own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/panic.h"
#include "quantizer/quantizer_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = velq::decode_quantizer_image(std::span(data, size));
  if (!decoded.ok()) return 0;
  const velq::ProdQuantizer& q = *decoded;
  const auto again = velq::decode_quantizer_image(velq::encode_quantizer_image(q));
  if (!again.ok() || !(*again == q)) std::abort();
  if (q.d == 0 || q.d > 64) return 0;
  try {
    std::vector<float> x(q.d);
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
  return 0;
}
