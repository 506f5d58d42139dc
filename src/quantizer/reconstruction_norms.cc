#include "quantizer/reconstruction_norms.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "common/worker_pool.h"

namespace velq {

namespace {

struct IndicesTag;
struct ViewsTag;
struct DecodedTag;

// Slots decoded together, so a dense matrix is read once per group.
constexpr std::size_t kGroup = 16;

std::size_t sign_len(const ProdQuantizer& q) { return q.fast_mode() ? 0 : q.qjl_len(); }

StoredCode stored_code(const ProdQuantizer& q, std::span<const std::uint8_t> slot) {
  const std::size_t m = q.packed_mse_len(), s = sign_len(q);
  if (slot.size() < m + s + 4) panic("slot too short for the code's fields");
  float gamma;
  std::memcpy(&gamma, slot.data() + m + s, 4);
  return {slot.first(m), slot.subspan(m, s), gamma};
}

double squared_of(std::span<const double> x) {
  double sum = 0.0;
  for (const double v : x) sum += v * v;
  return sum;
}

}  // namespace

void decode_codes(const ProdQuantizer& q, std::span<const StoredCode> codes, std::span<double> out) {
  const std::size_t n = q.n();
  const std::span<std::uint16_t> indices = thread_scratch<IndicesTag, std::uint16_t>(codes.size() * n);
  const std::span<CodeView> views = thread_scratch<ViewsTag, CodeView>(codes.size());
  for (std::size_t v = 0; v < codes.size(); ++v) {
    const std::span<std::uint16_t> mine = indices.subspan(v * n, n);
    q.unpack_mse_indices(codes[v].packed_mse, mine);
    views[v] = {mine, codes[v].qjl_bits, codes[v].gamma};
  }
  q.dequantize_codes_into(views, out);
}

ReconstructionNorms ReconstructionNorms::build(const ProdQuantizer& q,
                                               std::span<const std::uint8_t> slots,
                                               std::size_t stride, std::size_t count) {
  if (stride < q.packed_mse_len() + sign_len(q) + 4) panic("slot stride too short for the code's fields");
  if (count > 0 && slots.size() / stride < count) {
    panic("slot bytes hold fewer than " + std::to_string(count) + " slots");
  }
  ReconstructionNorms norms;
  norms.squared_.resize(count);
  const std::size_t d = q.d();
  parallel_for_each((count + kGroup - 1) / kGroup, 4, [&](std::size_t g) {
    const std::size_t first = g * kGroup, take = std::min(kGroup, count - first);
    StoredCode codes[kGroup];
    for (std::size_t v = 0; v < take; ++v) {
      codes[v] = stored_code(q, slots.subspan((first + v) * stride, stride));
    }
    const std::span<double> x = thread_scratch<DecodedTag, double>(take * d);
    decode_codes(q, std::span(codes, take), x);
    for (std::size_t v = 0; v < take; ++v) {
      norms.squared_[first + v] = squared_of(x.subspan(v * d, d));
    }
  });
  return norms;
}

void ReconstructionNorms::update(const ProdQuantizer& q, std::size_t slot,
                                 std::span<const std::uint8_t> slot_bytes) {
  grow_to(slot + 1);
  const StoredCode code = stored_code(q, slot_bytes);
  const std::span<double> x = thread_scratch<DecodedTag, double>(q.d());
  decode_codes(q, std::span(&code, 1), x);
  squared_[slot] = squared_of(x);
}

void ReconstructionNorms::set(std::size_t slot, double squared) {
  grow_to(slot + 1);
  squared_[slot] = squared;
}

void ReconstructionNorms::grow_to(std::size_t count) {
  if (count > squared_.size()) squared_.resize(count, 0.0);
}

}  // namespace velq
