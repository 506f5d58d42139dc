#include "search/code_decode.h"

#include "common/thread_scratch.h"

namespace velq {

namespace {

struct IndicesTag;
struct ViewsTag;

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

}  // namespace velq
