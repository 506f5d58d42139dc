// First quantizer stage: rotate, then map each rotated coordinate to the
// nearest Lloyd-Max level (u16 indices). Immutable after construction and
// read concurrently from pool threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "linalg/dense.h"

namespace velq {

class MseQuantizer {
 public:
  // Field order is the persisted order.
  std::uint64_t d = 0;  // input dimension
  std::uint64_t n = 0;  // rotated length / number of indices
  std::uint64_t b = 0;  // bits; 2^b levels
  std::vector<float> rotation_signs;                   // SRHT form: n signs; dense: empty
  std::vector<float> centroids;                        // 2^b levels, ascending
  std::optional<std::vector<float>> rotation_matrix;   // dense form: d×d row-major

  // SRHT form: n = npow2(d), codebook designed for dimension n.
  static MseQuantizer new_srht(std::uint64_t d, std::uint64_t b, std::uint64_t seed);
  // Dense form: Gram-Schmidt-orthogonalised Gaussian matrix, n = d.
  static MseQuantizer new_dense(std::uint64_t d, std::uint64_t b, std::uint64_t seed);

  bool is_dense() const { return rotation_matrix.has_value(); }

  // out.size() == n.
  void apply_rotation(std::span<const float> x, std::span<float> out) const;
  // The rotation of a query (x.size() == d): the dense form sums in the
  // blocked order (linalg::mat_vec_blocked), which only scoring may use.
  // `transpose`: the dense rotation's transpose, which the widest kernels
  // read instead with the same bits, or empty.
  void rotate_query(std::span<const float> x, std::span<float> out,
                    std::span<const float> transpose) const;
  // rotate_query of xs.size() / d queries stored one after another, into out
  // (n values each), with the same bits; the dense form reads the matrix
  // once for all of them.
  void rotate_queries(std::span<const float> xs, std::span<float> out) const;
  // x.size() == d; n indices.
  std::vector<std::uint16_t> quantize(std::span<const float> x) const;
  // The same into out (n entries) without allocating: the rotation goes
  // through a per-thread buffer.
  void quantize_into(std::span<const float> x, std::span<std::uint16_t> out) const;
  // indices.size() == n; d values.
  std::vector<double> dequantize(std::span<const std::uint16_t> indices) const;
  // The same into out (d entries) without allocating.
  void dequantize_into(std::span<const std::uint16_t> indices, std::span<double> out) const;
  // The levels of n indices into out (n entries); panics on an index outside
  // the codebook. The first step of dequantize.
  void levels_into(std::span<const std::uint16_t> indices, std::span<float> out) const;

  // JSON form: the fields in declaration order; see quantizer_json.cc.
  JsonValue serialize() const;
  static Result<MseQuantizer> deserialize(const JsonValue& value);

  bool operator==(const MseQuantizer&) const = default;

 private:
  // dense_product(matrix, d, x, out) is mat_vec or a blocked product.
  template <class DenseProduct>
  void rotate(std::span<const float> x, std::span<float> out, DenseProduct dense_product) const;
};

}  // namespace velq
