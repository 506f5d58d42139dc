#include "quantizer/first_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/cpu_features.h"
#include "common/panic.h"

namespace velq {

namespace {

constexpr std::size_t kTable = 16;

// Exact field values of one table, in double (an f32 product is exact there).
struct FieldValues {
  double v[kTable] = {};
  std::size_t used = 0;  // values 0 .. used-1 occur
};

struct Quantized {
  double base = 0.0;  // Σ (min_f + e_f)
  double step = 0.0;
};

// Quantizes every field's values with one shared step and writes the 8-bit
// tables, `width` bytes each (width >= every field's used count); returns the
// base and the step.
Quantized quantize_tables(const std::vector<FieldValues>& fields, std::size_t width,
                          std::uint8_t* out) {
  double range = 0.0;
  bool finite = true;
  for (const FieldValues& f : fields) {
    for (std::size_t v = 0; v < f.used; ++v) finite = finite && std::isfinite(f.v[v]);
    if (f.used == 0 || !finite) continue;
    const auto [lo, hi] = std::minmax_element(f.v, f.v + f.used);
    range = std::max(range, *hi - *lo);
  }
  Quantized q;
  std::memset(out, 0, fields.size() * width);
  if (!finite) {
    // A NaN or infinite query value: a NaN bound never prunes.
    q.base = std::numeric_limits<double>::quiet_NaN();
    return q;
  }
  q.step = range > 0.0 ? range / 255.0 : 1.0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const FieldValues& fv = fields[f];
    std::uint8_t* table = out + f * width;
    if (fv.used == 0) continue;
    const double lo = *std::min_element(fv.v, fv.v + fv.used);
    double worst = 0.0;
    for (std::size_t v = 0; v < fv.used; ++v) {
      table[v] = static_cast<std::uint8_t>(
          std::clamp(std::nearbyint((fv.v[v] - lo) / q.step), 0.0, 255.0));
      worst = std::max(worst, fv.v[v] - (lo + q.step * table[v]));
    }
    q.base += lo + worst;
  }
  return q;
}

}  // namespace

FirstPassQuery prepare_first_pass(const ProdQuantizer& q, const PreparedIpQuery& pq) {
  const BlockedShape shape = BlockedCodes::shape_of(q);
  const std::size_t n = shape.n;
  assert_eq(pq.q_rot.size(), n, "prepared rotation length");
  assert_eq(pq.q_proj.size(), n, "prepared projection length");
  const std::vector<float>& levels = q.mse_quantizer().centroids;
  const std::size_t k = std::min<std::size_t>(levels.size(), std::size_t{1} << shape.bits);

  double mse_abs = 0.0;
  std::vector<FieldValues> index_fields(2 * shape.index_pairs);
  for (std::size_t i = 0; i < n; ++i) {
    FieldValues& f = index_fields[i];
    f.used = k;
    double top = 0.0;
    for (std::size_t v = 0; v < k; ++v) {
      f.v[v] = static_cast<double>(levels[v]) * static_cast<double>(pq.q_rot[i]);
      top = std::max(top, std::abs(f.v[v]));
    }
    mse_abs += top;
  }
  double sign_abs = 0.0;
  std::vector<FieldValues> sign_fields(2 * shape.sign_pairs);
  for (std::size_t g = 0; g < sign_fields.size(); ++g) {
    FieldValues& f = sign_fields[g];
    if (4 * g >= n) continue;
    f.used = kTable;
    for (std::size_t v = 0; v < kTable; ++v) {
      double s = 0.0;
      for (std::size_t t = 0; t < 4 && 4 * g + t < n; ++t) {
        const double p = pq.q_proj[4 * g + t];
        s += (v >> t) & 1 ? p : -p;
      }
      f.v[v] = s;
    }
    for (std::size_t t = 0; t < 4 && 4 * g + t < n; ++t) sign_abs += std::abs(pq.q_proj[4 * g + t]);
  }

  FirstPassQuery fq;
  const std::size_t width = index_table_width(shape);
  fq.tables.assign(first_pass_table_bytes(shape), 0);
  const Quantized qi = quantize_tables(index_fields, width, fq.tables.data());
  const Quantized qs = quantize_tables(sign_fields, kTable, fq.tables.data() + index_fields.size() * width);
  // γ(n+3) rounded up, plus room for the double arithmetic of the bound.
  const double u = std::ldexp(1.0, -24);
  const double k3 = static_cast<double>(n + 3);
  const double margin = k3 * u / (1.0 - k3 * u) * (1.0 + 1e-6) + std::ldexp(1.0, -28);
  fq.index_step = qi.step;
  fq.sign_step = qs.step;
  fq.index_base = qi.base + margin * mse_abs + std::ldexp(1.0, -28) * std::abs(qi.base);
  fq.sign_base = qs.base + margin * sign_abs + std::ldexp(1.0, -28) * std::abs(qs.base);
  fq.qjl_scale = pq.qjl_scale;
  return fq;
}

namespace first_pass {

namespace {

void block_sums(const std::uint8_t* block, const BlockedShape& shape, const std::uint8_t* tables,
                std::uint32_t* index_sums, std::uint32_t* sign_sums) {
  constexpr std::size_t kCodes = BlockedShape::kCodes;
  std::fill_n(index_sums, kCodes, 0u);
  std::fill_n(sign_sums, kCodes, 0u);
  const std::size_t width = index_table_width(shape);
  for (std::size_t p = 0; p < shape.pairs(); ++p) {
    const bool index = p < shape.index_pairs;
    const std::uint8_t* lo_table =
        index ? tables + 2 * p * width
              : tables + 2 * shape.index_pairs * width + 2 * (p - shape.index_pairs) * kTable;
    const std::uint8_t* hi_table = lo_table + (index ? width : kTable);
    std::uint32_t* sums = index ? index_sums : sign_sums;
    for (std::size_t c = 0; c < kCodes; ++c) {
      const std::uint8_t byte = block[p * kCodes + c];
      sums[c] += lo_table[byte & 0x0F] + hi_table[byte >> 4];
    }
  }
}

double finish_bounds(const FirstPassQuery& fq, const std::uint8_t* block, const BlockedShape& shape,
                     const std::uint32_t* index_sums, const std::uint32_t* sign_sums,
                     BoundScale scale, double* bounds) {
  constexpr std::size_t kCodes = BlockedShape::kCodes;
  const bool sketch = shape.sign_pairs > 0;
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t c = 0; c < kCodes; ++c) {
    double u = fq.index_base + fq.index_step * index_sums[c];
    if (sketch) {
      float gamma;
      std::memcpy(&gamma, block + shape.gamma_offset() + 4 * c, 4);
      // The weight exactly as combine_terms forms it.
      const float w = static_cast<float>(static_cast<double>(gamma)) * fq.qjl_scale;
      u = w >= 0.0f ? u + static_cast<double>(w) * (fq.sign_base + fq.sign_step * sign_sums[c])
                    : std::numeric_limits<double>::infinity();
    }
    if (scale.kind == BoundScale::kNorm) {
      float norm;
      std::memcpy(&norm, block + shape.norm_offset() + 4 * c, 4);
      u = norm >= 0.0f ? u * static_cast<double>(norm) : std::numeric_limits<double>::infinity();
    } else if (scale.kind == BoundScale::kDivide) {
      u /= scale.divisor;
    }
    bounds[c] = u;
    top = u > top || u != u ? u : top;
  }
  return top;
}

}  // namespace

const FirstPassKernels& portable_first_pass_kernels() {
  static constexpr FirstPassKernels kPortable = {
      .name = "portable", .block_sums = block_sums, .finish_bounds = finish_bounds};
  return kPortable;
}

const FirstPassKernels& active_first_pass_kernels() {
  static const FirstPassKernels& chosen =
      widest_kernels(portable_first_pass_kernels, VELQ_X86_KERNELS(avx2_first_pass_kernels),
                     VELQ_X86_KERNELS(avx512_first_pass_kernels));
  return chosen;
}

}  // namespace first_pass

double block_bounds(const FirstPassQuery& fq, const BlockedCodes& codes, std::size_t b,
                    BoundScale scale, double* bounds, const first_pass::FirstPassKernels& kernels) {
  const std::uint8_t* block = codes.block(b);
  std::uint32_t index_sums[BlockedShape::kCodes];
  std::uint32_t sign_sums[BlockedShape::kCodes];
  kernels.block_sums(block, codes.shape(), fq.tables.data(), index_sums, sign_sums);
  return kernels.finish_bounds(fq, block, codes.shape(), index_sums, sign_sums, scale, bounds);
}

}  // namespace velq
