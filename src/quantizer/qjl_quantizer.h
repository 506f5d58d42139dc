// Second quantizer stage: a one-bit sign sketch of a random projection of the
// residual. Sign i is bit (i mod 8) of byte i/8; a set bit means +1.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "linalg/dense.h"

namespace velq {

class QjlQuantizer {
 public:
  // Field order is the persisted order.
  std::uint64_t d = 0;  // input dimension
  std::uint64_t n = 0;  // sketch length (sign bits)
  std::vector<float> projection_signs;                  // SRHT form: n signs; dense: empty
  std::optional<std::vector<float>> projection_matrix;  // dense form: d×d Gaussian, row-major

  // Both constructors use `seed` as given; the product quantizer passes the
  // database seed XOR 0xDEADBEEF.
  static QjlQuantizer new_srht(std::uint64_t d, std::uint64_t seed);
  static QjlQuantizer new_dense(std::uint64_t d, std::uint64_t seed);

  bool is_dense() const { return projection_matrix.has_value(); }

  // Dense form: the factor 1/√d (rounded in f32 at each step) applied to
  // every output of the matrix product.
  float dense_factor() const;

  // out.size() == n.
  void apply_projection(std::span<const float> x, std::span<float> out) const;
  // The projection of a query (x.size() == d): the dense form sums in the
  // blocked order (linalg::mat_vec_blocked), which only scoring may use.
  // `transpose`: the dense projection's transpose, which the widest kernels
  // read instead with the same bits, or empty.
  void project_query(std::span<const float> x, std::span<float> out,
                     std::span<const float> transpose) const;
  // project_query of xs.size() / d queries stored one after another, into
  // out (n values each), with the same bits; the dense form reads the matrix
  // once for all of them.
  void project_queries(std::span<const float> xs, std::span<float> out) const;

  // Transposed projection of the ±1 signs, times f32(gamma)·scale; d values.
  std::vector<double> reconstruct(std::span<const std::uint8_t> sign_bytes, double gamma,
                                  float scale) const;
  // The same into out (d entries) without allocating.
  void reconstruct_into(std::span<const std::uint8_t> sign_bytes, double gamma, float scale,
                        std::span<double> out) const;

  // JSON form: the fields in declaration order; see quantizer_json.cc.
  JsonValue serialize() const;
  static Result<QjlQuantizer> deserialize(const JsonValue& value);

  bool operator==(const QjlQuantizer&) const = default;

 private:
  // dense_product(matrix, d, x, out) is mat_vec or a blocked product.
  template <class DenseProduct>
  void project(std::span<const float> x, std::span<float> out, DenseProduct dense_product) const;
};

}  // namespace velq
