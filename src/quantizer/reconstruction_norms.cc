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
struct StoredTag;

std::size_t sign_len(const ProdQuantizer& q) { return q.fast_mode() ? 0 : q.qjl_len(); }

StoredCode stored_code(const ProdQuantizer& q, std::span<const std::uint8_t> slot) {
  const std::size_t m = q.packed_mse_len(), s = sign_len(q);
  if (slot.size() < m + s + 4) panic("slot too short for the code's fields");
  float gamma;
  std::memcpy(&gamma, slot.data() + m + s, 4);
  return {slot.first(m), slot.subspan(m, s), gamma};
}

// The codes with their indices unpacked, in buffers borrowed until the next
// call on this thread.
std::span<const CodeView> unpacked(const ProdQuantizer& q, std::span<const StoredCode> codes) {
  const std::size_t n = q.n();
  const std::span<std::uint16_t> indices = thread_scratch<IndicesTag, std::uint16_t>(codes.size() * n);
  const std::span<CodeView> views = thread_scratch<ViewsTag, CodeView>(codes.size());
  for (std::size_t v = 0; v < codes.size(); ++v) {
    const std::span<std::uint16_t> mine = indices.subspan(v * n, n);
    q.unpack_mse_indices(codes[v].packed_mse, mine);
    views[v] = {mine, codes[v].qjl_bits, codes[v].gamma};
  }
  return views;
}

}  // namespace

void decode_codes(const ProdQuantizer& q, std::span<const StoredCode> codes, std::span<double> out) {
  q.dequantize_codes_into(unpacked(q, codes), out);
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
  // The code-making's blocks: each dense matrix streams once per block.
  const std::size_t block = q.batch_block_rows();
  parallel_for_each((count + block - 1) / block, 1, [&](std::size_t b) {
    const std::size_t first = b * block, take = std::min(block, count - first);
    const std::span<StoredCode> codes = thread_scratch<StoredTag, StoredCode>(take);
    for (std::size_t v = 0; v < take; ++v) {
      codes[v] = stored_code(q, slots.subspan((first + v) * stride, stride));
    }
    q.decoded_squares_of(unpacked(q, codes), std::span(norms.squared_).subspan(first, take), block);
  });
  return norms;
}

void ReconstructionNorms::update(const ProdQuantizer& q, std::size_t slot,
                                 std::span<const std::uint8_t> slot_bytes) {
  grow_to(slot + 1);
  const StoredCode code = stored_code(q, slot_bytes);
  q.decoded_squares_of(unpacked(q, std::span(&code, 1)), std::span(squared_).subspan(slot, 1));
}

void ReconstructionNorms::set(std::size_t slot, double squared) {
  grow_to(slot + 1);
  squared_[slot] = squared;
}

void ReconstructionNorms::grow_to(std::size_t count) {
  if (count > squared_.size()) squared_.resize(count, 0.0);
}

}  // namespace velq
