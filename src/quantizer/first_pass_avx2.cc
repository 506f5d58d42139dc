// AVX2 first pass: a table lookup is one vpshufb over the 32 codes of a block
// (each table sits in both 128-bit halves). The bytes are summed as
// first_pass_sums_avx2.h describes, the odd-code bytes picked out by
// vpmaddubsw with weights 0 and 1, which keeps the shift units free for the
// lookups' index shift.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "quantizer/first_pass.h"
#include "quantizer/first_pass_sums_avx2.h"

namespace velq::first_pass {

namespace {

constexpr std::size_t kCodes = BlockedShape::kCodes;

struct Lookups {
  __m256i lo, hi;
};

// The 16-bit sums of one field pair's two lookups: `mixed` gains both bytes
// of every lane, `odd` the odd-code bytes alone.
struct PairSums {
  __m256i mixed = _mm256_setzero_si256();
  __m256i odd = _mm256_setzero_si256();

  void add(const Lookups& l, __m256i odd_bytes) {
    mixed = _mm256_add_epi16(mixed, _mm256_add_epi16(l.lo, l.hi));
    odd = _mm256_add_epi16(odd, _mm256_add_epi16(_mm256_maddubs_epi16(l.lo, odd_bytes),
                                                 _mm256_maddubs_epi16(l.hi, odd_bytes)));
  }
};

// `pairs` field pairs from `fields` (a block's bytes of its first pair) into
// `totals`; lookup(p, bytes) gives the table bytes of pair p's two fields.
// Two pairs per step into separate sums keep the loop's bookkeeping small
// beside its vector work; the two sums together stay within the widening
// limit.
// With `prefetch`, each step of two pairs (one 64-byte line of codes) also
// asks for the line kPrefetchAhead bytes on into the second-level cache.
template <typename Lookup>
void sum_pairs(const std::uint8_t* fields, std::size_t pairs, bool prefetch, Totals& totals,
               Lookup lookup) {
  const __m256i odd_bytes = _mm256_set1_epi16(0x0100);
  const auto load = [&](std::size_t p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fields + p * kCodes));
  };
  for (std::size_t start = 0; start < pairs; start += kPairsPerWiden) {
    const std::size_t end = std::min(pairs, start + kPairsPerWiden);
    PairSums a, b;
    std::size_t p = start;
    for (; p + 2 <= end; p += 2) {
      if (prefetch) {
        _mm_prefetch(reinterpret_cast<const char*>(fields + p * kCodes + kPrefetchAhead), _MM_HINT_T1);
      }
      a.add(lookup(p, load(p)), odd_bytes);
      b.add(lookup(p + 1, load(p + 1)), odd_bytes);
    }
    if (p < end) a.add(lookup(p, load(p)), odd_bytes);
    totals.add(_mm256_add_epi16(a.mixed, b.mixed), _mm256_add_epi16(a.odd, b.odd));
  }
}

__m256i table_at(const std::uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
}

// Pair p's two 16-byte tables at tables + 32p; fields may use all four bits.
void sum_wide_pairs(const std::uint8_t* fields, const std::uint8_t* tables, std::size_t pairs,
                    bool prefetch, Totals& totals) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  sum_pairs(fields, pairs, prefetch, totals, [&](std::size_t p, __m256i bytes) {
    return Lookups{
        _mm256_shuffle_epi8(table_at(tables + 32 * p), _mm256_and_si256(bytes, low4)),
        _mm256_shuffle_epi8(table_at(tables + 32 * p + 16),
                            _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low4))};
  });
}

// Fields all below 8: pair p's two 8-byte tables share the 16 bytes at
// tables + 16p, so one load serves both. Bit 7 of each byte, and of each
// byte shifted right by four within its 16-bit lane, is clear, so vpshufb
// reads an index as it is; bit 3 set on the high field's index picks the
// upper table.
void sum_narrow_pairs(const std::uint8_t* fields, const std::uint8_t* tables, std::size_t pairs,
                      bool prefetch, Totals& totals) {
  const __m256i upper = _mm256_set1_epi8(0x08);
  sum_pairs(fields, pairs, prefetch, totals, [&](std::size_t p, __m256i bytes) {
    const __m256i table = table_at(tables + 16 * p);
    return Lookups{_mm256_shuffle_epi8(table, bytes),
                   _mm256_shuffle_epi8(table, _mm256_or_si256(_mm256_srli_epi16(bytes, 4), upper))};
  });
}

void block_sums(const std::uint8_t* block, const BlockedShape& shape, const std::uint8_t* tables,
                std::uint32_t* index_sums, std::uint32_t* sign_sums) {
  const std::size_t width = index_table_width(shape);
  const bool prefetch = prefetch_codes(shape);
  Totals index_totals;
  if (width == 8) {
    sum_narrow_pairs(block, tables, shape.index_pairs, prefetch, index_totals);
  } else {
    sum_wide_pairs(block, tables, shape.index_pairs, prefetch, index_totals);
  }
  index_totals.store(index_sums);
  Totals sign_totals;
  sum_wide_pairs(block + shape.index_pairs * kCodes, tables + 2 * shape.index_pairs * width,
                 shape.sign_pairs, prefetch, sign_totals);
  sign_totals.store(sign_sums);
}

// Four codes per step in doubles, the formula of the portable form.
double finish_bounds(const FirstPassQuery& fq, const std::uint8_t* block, const BlockedShape& shape,
                     const std::uint32_t* index_sums, const std::uint32_t* sign_sums,
                     BoundScale scale, double* bounds) {
  const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  const __m256d zero = _mm256_setzero_pd();
  const __m256d index_base = _mm256_set1_pd(fq.index_base);
  const __m256d index_step = _mm256_set1_pd(fq.index_step);
  const __m256d sign_base = _mm256_set1_pd(fq.sign_base);
  const __m256d sign_step = _mm256_set1_pd(fq.sign_step);
  const __m128 qjl_scale = _mm_set1_ps(fq.qjl_scale);
  const __m256d divisor = _mm256_set1_pd(scale.divisor);
  const bool sketch = shape.sign_pairs > 0;
  const auto* gammas = reinterpret_cast<const float*>(block + shape.gamma_offset());
  const auto* norms = reinterpret_cast<const float*>(block + shape.norm_offset());
  __m256d top = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
  __m256d nan = zero;
  for (std::size_t c = 0; c < kCodes; c += 4) {
    const __m256d isum =
        _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(index_sums + c)));
    __m256d u = _mm256_add_pd(index_base, _mm256_mul_pd(index_step, isum));
    if (sketch) {
      const __m256d ssum =
          _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sign_sums + c)));
      const __m256d w = _mm256_cvtps_pd(_mm_mul_ps(_mm_loadu_ps(gammas + c), qjl_scale));
      const __m256d signs = _mm256_add_pd(sign_base, _mm256_mul_pd(sign_step, ssum));
      // w >= 0 (false for NaN) keeps the sum, else +infinity.
      u = _mm256_blendv_pd(inf, _mm256_add_pd(u, _mm256_mul_pd(w, signs)),
                           _mm256_cmp_pd(w, zero, _CMP_GE_OQ));
    }
    if (scale.kind == BoundScale::kNorm) {
      const __m256d norm = _mm256_cvtps_pd(_mm_loadu_ps(norms + c));
      u = _mm256_blendv_pd(inf, _mm256_mul_pd(u, norm), _mm256_cmp_pd(norm, zero, _CMP_GE_OQ));
    } else if (scale.kind == BoundScale::kDivide) {
      u = _mm256_div_pd(u, divisor);
    }
    _mm256_storeu_pd(bounds + c, u);
    top = _mm256_max_pd(top, u);
    nan = _mm256_or_pd(nan, _mm256_cmp_pd(u, u, _CMP_UNORD_Q));
  }
  if (_mm256_movemask_pd(nan) != 0) return std::numeric_limits<double>::quiet_NaN();
  __m128d m = _mm_max_pd(_mm256_castpd256_pd128(top), _mm256_extractf128_pd(top, 1));
  m = _mm_max_sd(m, _mm_unpackhi_pd(m, m));
  return _mm_cvtsd_f64(m);
}

}  // namespace

const FirstPassKernels& avx2_first_pass_kernels() {
  static constexpr FirstPassKernels kAvx2 = {
      .name = "avx2", .block_sums = block_sums, .finish_bounds = finish_bounds};
  return kAvx2;
}

}  // namespace velq::first_pass
