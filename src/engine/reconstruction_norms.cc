#include "engine/reconstruction_norms.h"

#include <cmath>
#include <cstring>
#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"
#include "engine/code_decode.h"

namespace velq {

namespace {

struct IndicesTag;
struct DecodedTag;

std::size_t sign_len(const ProdQuantizer& q) { return q.fast_mode() ? 0 : q.qjl_len(); }

// ‖dequantize(code)‖² of one slot, rounded down: the f64 sum of squares lies
// within d·2^-53 of the decoded vector's, and the f32 store rounds toward 0.
float squared_lower_of(const ProdQuantizer& q, std::span<const std::uint8_t> slot) {
  const std::size_t m = q.packed_mse_len(), s = sign_len(q);
  if (slot.size() < m + s + 4) panic("slot too short for the code's fields");
  float gamma;
  std::memcpy(&gamma, slot.data() + m + s, 4);
  const std::span<std::uint16_t> indices = thread_scratch<IndicesTag, std::uint16_t>(q.n());
  const std::span<double> x = thread_scratch<DecodedTag, double>(q.d());
  decode_code(q, slot.first(m), slot.subspan(m, s), gamma, indices, x);
  double sum = 0.0;
  for (const double v : x) sum += v * v;
  if (!std::isfinite(sum)) return 0.0f;  // a damaged gamma: the bound then refuses the code
  const double low = sum * (1.0 - 0x1p-32);
  const float narrow = static_cast<float>(low);
  return static_cast<double>(narrow) > low ? std::nextafter(narrow, 0.0f) : narrow;
}

}  // namespace

ReconstructionNorms ReconstructionNorms::build(const ProdQuantizer& q,
                                               std::span<const std::uint8_t> slots,
                                               std::size_t stride, std::size_t count) {
  if (stride < q.packed_mse_len() + sign_len(q) + 4) panic("slot stride too short for the code's fields");
  if (count > 0 && slots.size() / stride < count) {
    panic("slot bytes hold fewer than " + std::to_string(count) + " slots");
  }
  ReconstructionNorms norms;
  norms.columns_ = DecodeErrorColumns::of(q);
  norms.squared_low_.resize(count);
  parallel_for_each(count, 64, [&](std::size_t s) {
    norms.squared_low_[s] = squared_lower_of(q, slots.subspan(s * stride, stride));
  });
  return norms;
}

void ReconstructionNorms::update(const ProdQuantizer& q, std::size_t slot,
                                 std::span<const std::uint8_t> slot_bytes) {
  grow_to(slot + 1);
  squared_low_[slot] = squared_lower_of(q, slot_bytes);
}

void ReconstructionNorms::grow_to(std::size_t count) {
  if (count > squared_low_.size()) squared_low_.resize(count, 0.0f);
}

}  // namespace velq
