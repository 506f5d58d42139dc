#include "quantizer/qjl_quantizer.h"

#include <cmath>

#include "common/panic.h"
#include "common/thread_scratch.h"
#include "linalg/dense.h"
#include "linalg/hadamard.h"
#include "quantizer/rng.h"
#include "quantizer/sign_bits.h"

namespace velq {

namespace {

struct SignsTag;
struct TransposedTag;

}  // namespace

QjlQuantizer QjlQuantizer::new_srht(std::uint64_t d, std::uint64_t seed) {
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(seed);
  QjlQuantizer q;
  q.d = d;
  q.n = linalg::npow2(d);
  q.projection_signs = draw_signs(rng, q.n);
  return q;
}

QjlQuantizer QjlQuantizer::new_dense(std::uint64_t d, std::uint64_t seed) {
  ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(seed);
  QjlQuantizer q;
  q.d = d;
  q.n = d;
  q.projection_matrix = draw_gaussians(rng, linalg::square_size(d));  // row after row
  return q;
}

float QjlQuantizer::dense_factor() const { return 1.0f / std::sqrt(static_cast<float>(d)); }

void QjlQuantizer::apply_projection(std::span<const float> x, std::span<float> out) const {
  project(x, out, linalg::mat_vec);
}

void QjlQuantizer::project_query(std::span<const float> x, std::span<float> out,
                                 std::span<const float> transpose) const {
  project(x, out,
          [transpose](std::span<const float> m, std::size_t size, std::span<const float> v,
                      std::span<float> o) { linalg::mat_vec_blocked(m, transpose, size, v, o); });
}

void QjlQuantizer::project_queries(std::span<const float> xs, std::span<float> out) const {
  const std::size_t count = xs.size() / d;
  assert_eq(xs.size(), count * d, "query rows length");
  assert_eq(out.size(), count * n, "projected rows length");
  if (projection_matrix) {
    linalg::mat_vecs_blocked(*projection_matrix, d, xs.data(), count, out.data());
    const float factor = dense_factor();
    for (float& v : out) v *= factor;
    return;
  }
  for (std::size_t v = 0; v < count; ++v) {
    project_query(xs.subspan(v * d, d), out.subspan(v * n, n), {});
  }
}

template <class DenseProduct>
void QjlQuantizer::project(std::span<const float> x, std::span<float> out,
                           DenseProduct dense_product) const {
  assert_eq(out.size(), n, "projection output length");
  if (projection_matrix) {
    dense_product(*projection_matrix, d, x, out);
    const float factor = dense_factor();
    for (std::size_t i = 0; i < d; ++i) out[i] *= factor;
  } else {
    linalg::srht(x, projection_signs, out);
  }
}

void QjlQuantizer::reconstruct_into(std::span<const std::uint8_t> sign_bytes, double gamma,
                                    float scale, std::span<double> out) const {
  assert_eq(out.size(), d, "reconstruction output length");
  const std::span<float> s = thread_scratch<SignsTag>(n);
  expand_signs(sign_bytes, s);

  const std::span<float> t = thread_scratch<TransposedTag>(d);
  if (projection_matrix) {
    linalg::mat_t_vec(*projection_matrix, d, s, t);
    const float factor = dense_factor();
    for (float& v : t) v *= factor;
  } else {
    linalg::inverse_srht(s, projection_signs, t, d);
  }
  const double c = static_cast<double>(static_cast<float>(gamma) * scale);
  for (std::size_t j = 0; j < d; ++j) out[j] = static_cast<double>(t[j]) * c;
}

std::vector<double> QjlQuantizer::reconstruct(std::span<const std::uint8_t> sign_bytes,
                                              double gamma, float scale) const {
  std::vector<double> out(d);
  reconstruct_into(sign_bytes, gamma, scale, out);
  return out;
}

}  // namespace velq
