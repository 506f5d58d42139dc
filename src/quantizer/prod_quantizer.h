// The database's vector codec: MSE stage with b-1 bits per rotated coordinate
// plus a one-bit QJL sketch of the residual and its norm gamma (fast mode:
// b bits to the MSE stage, no sketch). Immutable after construction; shared
// read-only by the engine, the log and pool threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"

#include "quantizer/huge_page_allocator.h"
#include "quantizer/mse_quantizer.h"
#include "quantizer/packing.h"
#include "quantizer/pair_tables.h"
#include "quantizer/qjl_quantizer.h"
#include "quantizer/score_kernels.h"

namespace velq {

// The result of quantize.
struct EncodedVector {
  std::vector<std::uint16_t> mse_indices;  // n values < 2^mse_bits
  std::vector<std::uint8_t> qjl_bits;      // ceil(n/8) sign bytes (zero in fast mode)
  double gamma = 0.0;                      // residual norm (0 in fast mode)
};

// A stored code seen in place.
struct CodeView {
  std::span<const std::uint16_t> mse_indices;
  std::span<const std::uint8_t> qjl_bits;
  double gamma = 0.0;
};

// Per-query tables for scoring many codes: lut[i*k + c] = centroids[c]*q_rot[i],
// built only when the active kernels cannot score the k levels from q_rot
// (empty otherwise: every kernel set then takes the level form).
struct PreparedIpQuery {
  std::vector<float> lut;
  std::vector<float> q_proj;
  std::uint64_t k = 0;
  float qjl_scale = 0.0f;
  // The rotated query itself: vector kernels look small codebooks up in a
  // register and multiply, which is faster than gathering from lut.
  std::vector<float> q_rot;
  // Codes of 3-bit indices and at most PairTables::kMaxCoordinates
  // coordinates: the tables of the permute-free kernel, which
  // score_ip_packed then reads instead of running its `kernels` (clear them
  // to run those). Empty otherwise.
  scoring::PairTables pair_tables;
};

// Per-query state without the table (few codes per query, or a code as query).
struct PreparedIpQueryLite {
  std::vector<float> q_rot;
  std::vector<float> q_proj;
  float qjl_scale = 0.0f;
};

class ProdQuantizer {
 public:
  static ProdQuantizer new_dense(std::uint64_t d, std::uint64_t b, std::uint64_t seed);
  static ProdQuantizer new_dense_fast(std::uint64_t d, std::uint64_t b, std::uint64_t seed);
  static ProdQuantizer new_srht(std::uint64_t d, std::uint64_t b, std::uint64_t seed);
  static ProdQuantizer new_srht_fast(std::uint64_t d, std::uint64_t b, std::uint64_t seed);
  // Assembles the parts as given, without checks: the persisted-form decoders
  // check them first (quantizer_image.cc, quantizer_json.cc).
  static ProdQuantizer from_parts(std::uint64_t d, std::uint64_t n, std::uint64_t b,
                                  MseQuantizer mse_quantizer, QjlQuantizer qjl_quantizer,
                                  bool fast_mode);

  // The persisted fields, in their persisted order.
  std::uint64_t d() const { return d_; }
  std::uint64_t n() const { return n_; }
  std::uint64_t b() const { return b_; }
  const MseQuantizer& mse_quantizer() const { return mse_; }
  const QjlQuantizer& qjl_quantizer() const { return qjl_; }
  bool fast_mode() const { return fast_mode_; }

  std::uint64_t mse_bits() const { return mse_.b; }
  // ceil(n * mse_bits / 8): bytes of one packed index vector.
  std::size_t packed_mse_len() const;
  // ceil(n / 8): sign bytes of one code.
  std::size_t qjl_len() const;

  // Every sum behind a code is taken sequentially in index order, a multiply
  // then an add per term, alone or in a batch, on any processor: a vector's
  // code never depends on the batch it came in, its position there, the
  // number of threads or the kernels the processor runs.
  EncodedVector quantize(std::span<const float> x) const;
  // The codes of rows.size() / d vectors stored one after another (a partial
  // last vector panics), in parallel on the worker pool, in input order.
  std::vector<EncodedVector> quantize_batch(std::span<const float> rows) const;
  // The codes of rows.size() / d vectors into out (one entry each) on the
  // calling thread: the unit of work quantize_batch hands each task, for
  // callers that schedule their own blocks. Dense vectors share the blocked
  // products `block` at a time (0: batch_block_rows()). When decoded_squares
  // is not empty (one entry per vector) it receives each code's
  // ‖dequantize(code)‖² with gamma as a slot stores it (f32), the f64 squares
  // summed in coordinate order: the bits decoding the stored code gives.
  // With a dense rotation the decoding's first product is the one the code
  // was made with, so only the sketch's product is added.
  void quantize_rows(std::span<const float> rows, std::span<EncodedVector> out,
                     std::span<double> decoded_squares = {}, std::size_t block = 0) const;
  // ‖dequantize(code)‖² of every code into squares (one entry each), the f64
  // squares summed in coordinate order: for a stored code (gamma f32) the
  // bits quantize_rows reports beside it. Dense forms decode `block` codes
  // per pass over each matrix (0: batch_block_rows()); the bits do not
  // depend on the block. On the calling thread.
  void decoded_squares_of(std::span<const CodeView> codes, std::span<double> squares,
                          std::size_t block = 0) const;
  // Vectors per block of dense products on this processor: as many as let
  // one product's inputs and outputs for the block (2·block·d f32) and the
  // packed strip of matrix rows the product works through stay in the
  // core's private cache, so each matrix streams once per block. A multiple
  // of 16, from 16 to 256; 64 without a dense rotation.
  std::size_t batch_block_rows() const;
  // The same for a cache of cache_bytes; exposed for tests and benchmarks.
  static std::size_t block_rows_for(std::size_t d, std::size_t cache_bytes);
  std::vector<double> dequantize(std::span<const std::uint16_t> mse_indices,
                                 std::span<const std::uint8_t> qjl_bits, double gamma) const;
  // The same into out (d entries), without allocating.
  void dequantize_into(std::span<const std::uint16_t> mse_indices,
                       std::span<const std::uint8_t> qjl_bits, double gamma,
                       std::span<double> out) const;
  // dequantize_into of every code, into out (codes.size()·d values), with the
  // same bits whatever the number of codes or their order: dense forms
  // decode a few codes per pass over each matrix (mat_t_vecs).
  void dequantize_codes_into(std::span<const CodeView> codes, std::span<double> out) const;
  // The factor of the sketch's reconstruction in dequantize: the residual's
  // part is f32(f32(gamma) * this) times the transposed projection of the signs.
  float qjl_reconstruction_scale() const;
  // In parallel on the worker pool; results in input order.
  std::vector<std::vector<double>> dequantize_batch(std::span<const CodeView> codes) const;

  // Packed indices: index i at bits [i*mse_bits, (i+1)*mse_bits) of an
  // LSB-first stream (see packing.h); the unpack forms give identical results.
  std::vector<std::uint8_t> pack_mse_indices(std::span<const std::uint16_t> indices) const;
  // `kernels` picks the loop (by default the AVX2 one when the processor has it).
  void unpack_mse_indices(
      std::span<const std::uint8_t> bytes, std::span<std::uint16_t> out,
      const packing::UnpackKernels& kernels = packing::active_unpack_kernels()) const;

  PreparedIpQuery prepare_ip_query(std::span<const float> q) const;
  // prepare_ip_query of rows.size() / d queries stored one after another
  // (a partial last row panics), bit for bit, in parallel on the worker
  // pool: blocks of kQueryBlockRows rows share one pass over each dense
  // matrix instead of one pass per row.
  std::vector<PreparedIpQuery> prepare_ip_queries(std::span<const float> rows) const;
  // Rows per block: each group of matrix rows serves them all while cached;
  // the block's queries (kQueryBlockRows·d·4 bytes) stay in a core's cache.
  static constexpr std::size_t kQueryBlockRows = 32;
  PreparedIpQueryLite prepare_ip_query_lite(std::span<const float> q) const;
  PreparedIpQueryLite prepare_ip_query_from_codes(std::span<const std::uint16_t> codes) const;

  // Estimates of <q, x> from x's code:
  //   sum_i q_rot[i]*level(idx[i]) + f32(gamma)*qjl_scale * sum_i (+-1)_i*q_proj[i].
  // Empty qjl_bits (a fast-mode code) contribute no sign term; the lite forms
  // also skip it when gamma is exactly 0. `kernels` picks the loop (by
  // default the AVX2 one when the processor has AVX2 and FMA); the estimate
  // differs between kernels only by f32 rounding. Panics when fewer than n
  // indices are given or an index is outside the codebook.
  double score_ip_encoded(const PreparedIpQuery& pq, std::span<const std::uint16_t> mse_indices,
                          std::span<const std::uint8_t> qjl_bits, double gamma,
                          const scoring::ScoreKernels& kernels =
                              scoring::active_score_kernels()) const;
  double score_ip_encoded_lite(
      const PreparedIpQueryLite& pq, std::span<const std::uint16_t> mse_indices,
      std::span<const std::uint8_t> qjl_bits, double gamma,
      const scoring::ScoreKernels& kernels = scoring::active_score_kernels()) const;

  // The same estimates read straight from packed indices (packed_mse_len()
  // bytes as pack_mse_indices writes them, e.g. in place in a slot), with no
  // index buffer: the per-slot fast path of search and index building.
  double score_ip_packed(const PreparedIpQuery& pq, std::span<const std::uint8_t> packed_mse,
                         std::span<const std::uint8_t> qjl_bits, double gamma,
                         const scoring::ScoreKernels& kernels =
                             scoring::active_score_kernels()) const;
  double score_ip_packed_lite(
      const PreparedIpQueryLite& pq, std::span<const std::uint8_t> packed_mse,
      std::span<const std::uint8_t> qjl_bits, double gamma,
      const scoring::ScoreKernels& kernels = scoring::active_score_kernels()) const;

  // <q, dequantize(code)> with no reconstruction: since <q, Aᵀy> = <Aq, y>,
  // the decoded vector's product with q is the rotated query against the
  // code's levels plus f32(f32(gamma) * qjl_reconstruction_scale()) times
  // the projected query against the signs (no sign term in fast mode),
  // from pq's q_rot and q_proj, summed in f64. It differs from the product
  // with the decoded vector only by the rounding of the f32 transforms on
  // either side. packed_mse and qjl_bits as for score_ip_packed; fewer sign
  // bytes than qjl_len() panic outside fast mode.
  double decoded_ip_packed(const PreparedIpQuery& pq, std::span<const std::uint8_t> packed_mse,
                           std::span<const std::uint8_t> qjl_bits, double gamma,
                           const scoring::ScoreKernels& kernels =
                               scoring::active_score_kernels()) const;

  // JSON form: the fields in declaration order; see quantizer_json.cc.
  JsonValue serialize() const;
  static Result<ProdQuantizer> deserialize(const JsonValue& value);

  bool operator==(const ProdQuantizer&) const = default;

 private:
  std::uint64_t d_ = 0;
  std::uint64_t n_ = 0;
  std::uint64_t b_ = 0;
  MseQuantizer mse_;
  QjlQuantizer qjl_;
  bool fast_mode_ = false;
  // Dense form: the transposes of the rotation and (outside fast mode) of
  // the projection, row-major, so that a batch's rotations and projections
  // are transposed products (linalg::mat_t_vecs), whose vector form keeps
  // each output's sequential sum in its own lane; empty otherwise. A
  // query's products read them too where the kernels walk columns. Aligned
  // to cache lines, so that a row's whole-register loads never straddle two.
  using SquareTranspose = std::vector<float, HugePageAllocator<float>>;
  SquareTranspose rotation_t_;
  SquareTranspose projection_t_;

  // quantize one vector in the SRHT form (no batch kernel).
  EncodedVector quantize_srht(std::span<const float> x) const;
  // quantize `count` vectors at x (stride d) in the dense form into out, and
  // their decoded squares when squares is not null.
  void quantize_dense_block(const float* x, std::size_t count, EncodedVector* out,
                            double* squares) const;
  // Whether decoding runs the dense matrices' transposed products (both
  // stages dense and square), which a block of codes can share.
  bool dense_decoding() const;
  // The decoded squares of codes whose first decoding product (the
  // rotation's transpose times the levels, f32, stride d) is mse_part.
  void dense_decoded_squares(const float* mse_part, std::span<const CodeView> codes,
                             double* squares) const;
  // The sign bits and gamma of `count` codes whose MSE indices are set, given
  // the vectors and their decoded approximations (f32, stride d).
  void add_sketch(const float* x, const float* approx, std::size_t count,
                  EncodedVector* codes) const;
  // mse_bits() as a packing width; panics above 16 bits.
  unsigned index_bits() const;
  // A prepared query from its rotation and projection: adds the tables the
  // active scoring kernels read.
  PreparedIpQuery with_tables(PreparedIpQueryLite lite) const;
  // Level-form estimate from packed bytes, both terms in one pass.
  double score_packed_levels(std::span<const float> q_rot, std::span<const float> q_proj,
                             float qjl_scale, std::span<const std::uint8_t> packed_mse,
                             std::span<const std::uint8_t> qjl_bits, double gamma,
                             const scoring::ScoreKernels& kernels) const;
  // Shared tail of the scoring methods: the MSE term is given.
  double add_sign_term(float s_mse, std::span<const float> q_proj, float qjl_scale,
                       std::span<const std::uint8_t> qjl_bits, double gamma,
                       const scoring::ScoreKernels& kernels) const;
};

}  // namespace velq
