// Prepared queries and inner-product estimates scored straight from codes.
// Scoring applies the rotation and projection to the query instead of their
// transposes to the code, so an estimate equals <q, dequantize(code)> up to
// rounding without decoding anything.
#include <algorithm>
#include <cmath>
#include <string>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "quantizer/packing.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

namespace {

// sqrt(pi/2) / sqrt(m), m the sketch's effective dimension: d for the dense
// Gaussian projection (scaled by 1/sqrt(d)), n for the orthonormal SRHT.
float qjl_scale_for(const ProdQuantizer& q) {
  const std::uint64_t m = q.qjl_quantizer().is_dense() ? q.d() : q.n();
  return 1.2533141f / std::sqrt(static_cast<float>(m));
}

void require_len(std::size_t have, std::size_t need, const char* what) {
  if (have < need) {
    panic(std::string("index out of bounds: ") + what + " holds " + std::to_string(have) +
          ", need " + std::to_string(need));
  }
}

// The level form reaches the table form's sum faster on kernels that can look
// small codebooks up in registers, and is the only form of a query prepared
// without a table; it needs the rotated query and the levels the table would
// be built from.
bool use_level_form(const PreparedIpQuery& pq, const std::vector<float>& levels, std::size_t n,
                    const scoring::ScoreKernels& kernels) {
  return (pq.lut.empty() || pq.k <= kernels.level_form_max_levels) && pq.q_rot.size() >= n &&
         levels.size() == pq.k;
}

}  // namespace

PreparedIpQueryLite ProdQuantizer::prepare_ip_query_lite(std::span<const float> q) const {
  assert_eq(q.size(), d_, "query dimension");
  PreparedIpQueryLite pq;
  pq.q_proj.assign(n_, 0.0f);
  qjl_.project_query(q, pq.q_proj, projection_t_);
  pq.q_rot.assign(n_, 0.0f);
  mse_.rotate_query(q, pq.q_rot, rotation_t_);
  pq.qjl_scale = qjl_scale_for(*this);
  return pq;
}

PreparedIpQuery ProdQuantizer::prepare_ip_query(std::span<const float> q) const {
  return with_tables(prepare_ip_query_lite(q));
}

std::vector<PreparedIpQuery> ProdQuantizer::prepare_ip_queries(std::span<const float> rows) const {
  const std::size_t count = rows.size() / d_;
  assert_eq(rows.size(), count * d_, "query rows length");
  std::vector<PreparedIpQuery> out(count);
  const std::size_t blocks = (count + kQueryBlockRows - 1) / kQueryBlockRows;
  parallel_for_each(blocks, 1, [&](std::size_t block) {
    const std::size_t first = block * kQueryBlockRows;
    const std::size_t take = std::min(kQueryBlockRows, count - first);
    const std::span<const float> queries = rows.subspan(first * d_, take * d_);
    std::vector<float> projected(take * n_);
    std::vector<float> rotated(take * n_);
    qjl_.project_queries(queries, projected);
    mse_.rotate_queries(queries, rotated);
    for (std::size_t i = 0; i < take; ++i) {
      PreparedIpQueryLite lite;
      lite.q_proj.assign(projected.begin() + i * n_, projected.begin() + (i + 1) * n_);
      lite.q_rot.assign(rotated.begin() + i * n_, rotated.begin() + (i + 1) * n_);
      lite.qjl_scale = qjl_scale_for(*this);
      out[first + i] = with_tables(std::move(lite));
    }
  });
  return out;
}

PreparedIpQuery ProdQuantizer::with_tables(PreparedIpQueryLite lite) const {
  const std::vector<float>& levels = mse_.centroids;
  PreparedIpQuery pq;
  pq.k = levels.size();
  // The table only serves kernels that cannot look the levels up in
  // registers: each of its terms is the level form's product, rounded alike.
  if (pq.k > scoring::active_score_kernels().level_form_max_levels) {
    pq.lut.resize(n_ * pq.k);
    for (std::size_t i = 0; i < n_; ++i) {
      float* row = pq.lut.data() + i * pq.k;
      for (std::size_t c = 0; c < pq.k; ++c) row[c] = levels[c] * lite.q_rot[i];
    }
  }
  if (index_bits() == scoring::PairTables::kBits && n_ <= scoring::PairTables::kMaxCoordinates) {
    pq.pair_tables = scoring::build_pair_tables(levels, lite.q_rot, lite.q_proj, n_);
  }
  pq.q_proj = std::move(lite.q_proj);
  pq.qjl_scale = lite.qjl_scale;
  pq.q_rot = std::move(lite.q_rot);
  return pq;
}

PreparedIpQueryLite ProdQuantizer::prepare_ip_query_from_codes(
    std::span<const std::uint16_t> codes) const {
  require_len(codes.size(), n_, "code list");
  const std::vector<float>& levels = mse_.centroids;
  PreparedIpQueryLite pq;
  pq.q_rot.resize(n_);
  for (std::size_t i = 0; i < n_; ++i) {
    require_len(levels.size(), std::size_t{codes[i]} + 1, "codebook");
    pq.q_rot[i] = levels[codes[i]];
  }
  // No projection: a code has no query-side sketch, so only the MSE term scores.
  pq.q_proj.assign(n_, 0.0f);
  pq.qjl_scale = qjl_scale_for(*this);
  return pq;
}

double ProdQuantizer::add_sign_term(float s_mse, std::span<const float> q_proj, float qjl_scale,
                                    std::span<const std::uint8_t> qjl_bits, double gamma,
                                    const scoring::ScoreKernels& kernels) const {
  if (qjl_bits.empty()) return static_cast<double>(s_mse);
  require_len(q_proj.size(), n_, "prepared projection");
  const float s_qjl = kernels.sign_sum(q_proj, qjl_bits, n_);
  return scoring::combine_terms(s_mse, s_qjl, gamma, qjl_scale);
}

double ProdQuantizer::score_ip_encoded(const PreparedIpQuery& pq,
                                       std::span<const std::uint16_t> mse_indices,
                                       std::span<const std::uint8_t> qjl_bits, double gamma,
                                       const scoring::ScoreKernels& kernels) const {
  require_len(mse_indices.size(), n_, "MSE index list");
  const std::vector<float>& levels = mse_.centroids;
  float s_mse = 0.0f;
  if (use_level_form(pq, levels, n_, kernels)) {
    s_mse = kernels.level_dot(levels, pq.q_rot, mse_indices, n_);
  } else {
    require_len(pq.lut.size(), n_ * pq.k, "prepared table");
    s_mse = kernels.lut_sum(pq.lut, pq.k, mse_indices, n_);
  }
  return add_sign_term(s_mse, pq.q_proj, pq.qjl_scale, qjl_bits, gamma, kernels);
}

double ProdQuantizer::score_ip_encoded_lite(const PreparedIpQueryLite& pq,
                                            std::span<const std::uint16_t> mse_indices,
                                            std::span<const std::uint8_t> qjl_bits, double gamma,
                                            const scoring::ScoreKernels& kernels) const {
  require_len(mse_indices.size(), n_, "MSE index list");
  require_len(pq.q_rot.size(), n_, "prepared rotation");
  const float s_mse = kernels.level_dot(mse_.centroids, pq.q_rot, mse_indices, n_);
  if (gamma == 0.0) return static_cast<double>(s_mse);
  return add_sign_term(s_mse, pq.q_proj, pq.qjl_scale, qjl_bits, gamma, kernels);
}

double ProdQuantizer::score_packed_levels(std::span<const float> q_rot,
                                          std::span<const float> q_proj, float qjl_scale,
                                          std::span<const std::uint8_t> packed_mse,
                                          std::span<const std::uint8_t> qjl_bits, double gamma,
                                          const scoring::ScoreKernels& kernels) const {
  const unsigned bits = index_bits();
  const std::vector<float>& levels = mse_.centroids;
  require_len(q_rot.size(), n_, "prepared rotation");
  // Every packed index is below 2^bits; the codebook must cover them all.
  require_len(levels.size(), std::size_t{1} << bits, "codebook");
  if (qjl_bits.empty()) {
    return static_cast<double>(kernels.level_dot_packed(levels, q_rot, packed_mse, bits, n_));
  }
  require_len(q_proj.size(), n_, "prepared projection");
  const scoring::ScoreTerms terms =
      kernels.level_dot_and_signs_packed(levels, q_rot, packed_mse, bits, q_proj, qjl_bits, n_);
  return scoring::combine_terms(terms.mse, terms.signs, gamma, qjl_scale);
}

double ProdQuantizer::score_ip_packed(const PreparedIpQuery& pq,
                                      std::span<const std::uint8_t> packed_mse,
                                      std::span<const std::uint8_t> qjl_bits, double gamma,
                                      const scoring::ScoreKernels& kernels) const {
  const unsigned bits = index_bits();
  require_len(packed_mse.size(), packing::packed_len(n_, bits), "packed MSE bytes");
  // The tables cover whole sign lists; a shorter list takes the kernels.
  if (pq.pair_tables.n == n_ && n_ > 0 && bits == scoring::PairTables::kBits &&
      (qjl_bits.empty() || qjl_bits.size() >= qjl_len())) {
    const auto signs = qjl_bits.empty() ? qjl_bits : qjl_bits.first(qjl_len());
    const scoring::ScoreTerms terms = scoring::pair_table_terms(pq.pair_tables, packed_mse, signs);
    if (qjl_bits.empty()) return static_cast<double>(terms.mse);
    return scoring::combine_terms(terms.mse, terms.signs, gamma, pq.qjl_scale);
  }
  if (use_level_form(pq, mse_.centroids, n_, kernels)) {
    return score_packed_levels(pq.q_rot, pq.q_proj, pq.qjl_scale, packed_mse, qjl_bits, gamma,
                               kernels);
  }
  require_len(pq.lut.size(), n_ * pq.k, "prepared table");
  require_len(pq.k, std::size_t{1} << bits, "prepared codebook");
  const float s_mse = kernels.lut_sum_packed(pq.lut, pq.k, packed_mse, bits, n_);
  return add_sign_term(s_mse, pq.q_proj, pq.qjl_scale, qjl_bits, gamma, kernels);
}

double ProdQuantizer::score_ip_packed_lite(const PreparedIpQueryLite& pq,
                                           std::span<const std::uint8_t> packed_mse,
                                           std::span<const std::uint8_t> qjl_bits, double gamma,
                                           const scoring::ScoreKernels& kernels) const {
  require_len(packed_mse.size(), packing::packed_len(n_, index_bits()), "packed MSE bytes");
  // gamma exactly 0 (every fast-mode code) carries no sign term.
  const auto signs = gamma == 0.0 ? std::span<const std::uint8_t>() : qjl_bits;
  return score_packed_levels(pq.q_rot, pq.q_proj, pq.qjl_scale, packed_mse, signs, gamma, kernels);
}

double ProdQuantizer::decoded_ip_packed(const PreparedIpQuery& pq,
                                        std::span<const std::uint8_t> packed_mse,
                                        std::span<const std::uint8_t> qjl_bits, double gamma,
                                        const scoring::ScoreKernels& kernels) const {
  const unsigned bits = index_bits();
  require_len(packed_mse.size(), packing::packed_len(n_, bits), "packed MSE bytes");
  require_len(pq.q_rot.size(), n_, "prepared rotation");
  require_len(mse_.centroids.size(), std::size_t{1} << bits, "codebook");
  std::span<const std::uint8_t> signs;
  if (!fast_mode_) {
    require_len(qjl_bits.size(), qjl_len(), "QJL sign bytes");
    require_len(pq.q_proj.size(), n_, "prepared projection");
    signs = qjl_bits.first(qjl_len());
  }
  const scoring::WideTerms terms =
      kernels.wide_terms_packed(mse_.centroids, pq.q_rot, packed_mse, bits, pq.q_proj, signs, n_);
  if (fast_mode_) return terms.mse;
  // The sketch's weight exactly as dequantize forms it.
  const double c = static_cast<double>(static_cast<float>(gamma) * qjl_reconstruction_scale());
  return terms.mse + c * terms.signs;
}

}  // namespace velq
