// AVX-512 first pass: one register holds two field pairs of a block (bytes
// 0-31 pair p's 32 codes, 32-63 pair p+1's), and one vpermb looks up the low
// (or high) fields of both pairs in the 64 bytes that hold the two pairs'
// tables, the index's upper bits choosing the table: a lookup serves twice the
// codes of a 256-bit vpshufb and needs no broadcast of its tables. The two
// halves are added once per widening, then summed as first_pass_sums_avx2.h
// describes; the bounds are formed as in the AVX2 form.
// GCC 12 takes the intrinsics' placeholder for unused lanes for an
// uninitialised read once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>

#include "quantizer/first_pass.h"
#include "quantizer/first_pass_sums_avx2.h"

namespace velq::first_pass {

namespace {

constexpr std::size_t kCodes = BlockedShape::kCodes;
// Bytes 0-31 of a register belong to the first pair, 32-63 to the second.
constexpr __mmask64 kFirstPair = 0x00000000FFFFFFFFull;
// vpternlogd's selector for (a & b) | c.
constexpr int kAndOr = 0xEA;

// The 16-bit sums of field pairs whose tables take kTableBytes bytes each (a
// pair's low-field table, then its high-field table).
template <std::size_t kTableBytes>
class PairSums {
 public:
  // Pair p's lookups, and with kBoth pair p+1's, from a block's first pair's
  // bytes `fields` and the first pair's tables.
  template <bool kBoth>
  void add(const std::uint8_t* fields, const std::uint8_t* tables, std::size_t p) {
    __m512i bytes, table;
    if constexpr (kBoth) {
      bytes = _mm512_loadu_si512(fields + p * kCodes);
      table = kTableBytes == 32 ? _mm512_loadu_si512(tables + p * kTableBytes)
                                : _mm512_zextsi256_si512(_mm256_loadu_si256(
                                      reinterpret_cast<const __m256i*>(tables + p * kTableBytes)));
    } else {
      bytes = _mm512_zextsi256_si512(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fields + p * kCodes)));
      table = _mm512_maskz_loadu_epi8((__mmask64{1} << kTableBytes) - 1, tables + p * kTableBytes);
    }
    const __m512i lo_index = _mm512_ternarylogic_epi32(bytes, low4_, lo_base_, kAndOr);
    const __m512i hi_index =
        _mm512_ternarylogic_epi32(_mm512_srli_epi16(bytes, 4), low4_, hi_base_, kAndOr);
    __m512i lo = _mm512_permutexvar_epi8(lo_index, table);
    __m512i hi = _mm512_permutexvar_epi8(hi_index, table);
    if constexpr (!kBoth) {
      // No second pair: its lookups would add the tables' first bytes.
      lo = _mm512_maskz_mov_epi8(kFirstPair, lo);
      hi = _mm512_maskz_mov_epi8(kFirstPair, hi);
    }
    mixed_ = _mm512_add_epi16(mixed_, _mm512_add_epi16(lo, hi));
    odd_ = _mm512_add_epi16(odd_, _mm512_add_epi16(_mm512_maddubs_epi16(lo, odd_bytes_),
                                                   _mm512_maddubs_epi16(hi, odd_bytes_)));
  }

  // Adds both halves into `totals` and starts again from zero. Each half
  // took at most kPairsPerWiden / 2 pairs since the last call, so their
  // sum is exact.
  void widen_into(Totals& totals) {
    totals.add(
        _mm256_add_epi16(_mm512_castsi512_si256(mixed_), _mm512_extracti64x4_epi64(mixed_, 1)),
        _mm256_add_epi16(_mm512_castsi512_si256(odd_), _mm512_extracti64x4_epi64(odd_, 1)));
    mixed_ = odd_ = _mm512_setzero_si512();
  }

 private:
  // A field of the second pair reads its tables kTableBytes further on.
  const __m512i lo_base_ = _mm512_mask_set1_epi8(_mm512_setzero_si512(), ~kFirstPair, kTableBytes);
  const __m512i hi_base_ = _mm512_add_epi8(lo_base_, _mm512_set1_epi8(kTableBytes / 2));
  const __m512i low4_ = _mm512_set1_epi8(0x0F);
  const __m512i odd_bytes_ = _mm512_set1_epi16(0x0100);
  __m512i mixed_ = _mm512_setzero_si512();
  __m512i odd_ = _mm512_setzero_si512();
};

// `pairs` field pairs from `fields` into `totals`, two per step. With
// `prefetch`, each step (one 64-byte line of codes) also asks for the line
// kPrefetchAhead bytes on into the second-level cache.
template <std::size_t kTableBytes>
void sum_pairs(const std::uint8_t* fields, const std::uint8_t* tables, std::size_t pairs,
               bool prefetch, Totals& totals) {
  PairSums<kTableBytes> sums;
  for (std::size_t start = 0; start < pairs; start += kPairsPerWiden) {
    const std::size_t end = std::min(pairs, start + kPairsPerWiden);
    std::size_t p = start;
    for (; p + 2 <= end; p += 2) {
      if (prefetch) {
        _mm_prefetch(reinterpret_cast<const char*>(fields + p * kCodes + kPrefetchAhead), _MM_HINT_T1);
      }
      sums.template add<true>(fields, tables, p);
    }
    if (p < end) sums.template add<false>(fields, tables, p);
    sums.widen_into(totals);
  }
}

void block_sums(const std::uint8_t* block, const BlockedShape& shape, const std::uint8_t* tables,
                std::uint32_t* index_sums, std::uint32_t* sign_sums) {
  const bool prefetch = prefetch_codes(shape);
  Totals index_totals;
  if (index_table_width(shape) == 8) {
    sum_pairs<16>(block, tables, shape.index_pairs, prefetch, index_totals);
  } else {
    sum_pairs<32>(block, tables, shape.index_pairs, prefetch, index_totals);
  }
  index_totals.store(index_sums);
  Totals sign_totals;
  sum_pairs<32>(block + shape.index_pairs * kCodes,
                tables + 2 * shape.index_pairs * index_table_width(shape), shape.sign_pairs,
                prefetch, sign_totals);
  sign_totals.store(sign_sums);
}

}  // namespace

const FirstPassKernels& avx512_first_pass_kernels() {
  // The 32 bounds of a block are a small part of its time: the AVX2 form's.
  static const FirstPassKernels kAvx512 = {
      .name = "avx512",
      .block_sums = block_sums,
      .finish_bounds = avx2_first_pass_kernels().finish_bounds};
  return kAvx512;
}

}  // namespace velq::first_pass
