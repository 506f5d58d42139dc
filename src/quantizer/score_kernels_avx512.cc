// AVX-512 scoring kernels. Sixteen coordinates per step into two 16-lane
// accumulators; the last coordinates of a code take a masked step rather
// than a scalar loop. Packed indices of 1..8 bits are decoded in registers
// from the 2·bits bytes of a group of sixteen (vpermb places each index's
// bytes in its lane, a variable shift and a mask finish it); wider codes go
// through a small stack buffer. Up to 16 levels are looked up with one
// permute, up to 32 with a two-register permute, more with a gather; the
// table form gathers from its row. A sign term's sixteen signs are one mask
// register: the clear bits flip q_proj's sign bit.
// GCC 12 takes the intrinsics' placeholder for unused lanes for an
// uninitialised read once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "quantizer/packing.h"
#include "quantizer/score_kernels.h"

namespace velq::scoring {

namespace {

constexpr std::size_t kLanes = 16;

__mmask16 first_lanes(std::size_t count) {
  return static_cast<__mmask16>((1u << count) - 1);
}

// Table form: lut row i holds k products; lanes gather from 16 consecutive rows.
class LutTerm {
 public:
  LutTerm(const float* lut, std::size_t k)
      : lut_(lut),
        k_(k),
        row_offsets_(_mm512_mullo_epi32(
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
            _mm512_set1_epi32(static_cast<int>(k)))) {}
  std::size_t levels() const { return k_; }
  __m512 add(__m512 acc, __m512i idx, std::size_t i) const {
    return _mm512_add_ps(acc, _mm512_i32gather_ps(offsets(idx), lut_ + i * k_, 4));
  }
  __m512 add(__m512 acc, __m512i idx, std::size_t i, __mmask16 live) const {
    const __m512 v = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), live, offsets(idx), lut_ + i * k_, 4);
    return _mm512_mask_add_ps(acc, live, acc, v);
  }

 private:
  __m512i offsets(__m512i idx) const { return _mm512_add_epi32(idx, row_offsets_); }

  const float* lut_;
  std::size_t k_;
  __m512i row_offsets_;
};

// The first (up to) 16 levels in one register, unused lanes zero.
__m512 first_levels(std::span<const float> levels) {
  return _mm512_maskz_loadu_ps(first_lanes(std::min(levels.size(), kLanes)), levels.data());
}

// Up to 16 levels: one permute.
class Levels16 {
 public:
  explicit Levels16(std::span<const float> levels) : reg_(first_levels(levels)) {}
  __m512 lookup(__m512i idx) const { return _mm512_permutexvar_ps(idx, reg_); }

 private:
  __m512 reg_;
};

// Up to 32 levels in two registers; bit 4 of the index picks the register.
class Levels32 {
 public:
  explicit Levels32(std::span<const float> levels)
      : lo_(first_levels(levels)), hi_(first_levels(levels.subspan(kLanes))) {}
  __m512 lookup(__m512i idx) const { return _mm512_permutex2var_ps(lo_, idx, hi_); }

 private:
  __m512 lo_;
  __m512 hi_;
};

class LevelsGather {
 public:
  explicit LevelsGather(std::span<const float> levels) : levels_(levels.data()) {}
  __m512 lookup(__m512i idx) const { return _mm512_i32gather_ps(idx, levels_, 4); }

 private:
  const float* levels_;
};

// Level form: level(idx) * q_rot, fused into the accumulator.
template <class Lookup>
class LevelTerm {
 public:
  LevelTerm(std::span<const float> levels, const float* q_rot)
      : levels_(levels.size()), lookup_(levels), q_rot_(q_rot) {}
  std::size_t levels() const { return levels_; }
  __m512 add(__m512 acc, __m512i idx, std::size_t i) const {
    return _mm512_fmadd_ps(lookup_.lookup(idx), _mm512_loadu_ps(q_rot_ + i), acc);
  }
  __m512 add(__m512 acc, __m512i idx, std::size_t i, __mmask16 live) const {
    return _mm512_mask3_fmadd_ps(lookup_.lookup(idx), _mm512_maskz_loadu_ps(live, q_rot_ + i), acc,
                                 live);
  }

 private:
  std::size_t levels_;
  Lookup lookup_;
  const float* q_rot_;
};

// Calls f with the level term suited to the number of levels.
template <class F>
auto with_level_term(std::span<const float> levels, const float* q_rot, const F& f) {
  if (levels.size() <= 16) return f(LevelTerm<Levels16>(levels, q_rot));
  if (levels.size() <= 32) return f(LevelTerm<Levels32>(levels, q_rot));
  return f(LevelTerm<LevelsGather>(levels, q_rot));
}

// Two chains, so the loop is bound by throughput rather than by the latency
// of one fused multiply-add.
struct Accumulators {
  __m512 a0 = _mm512_setzero_ps();
  __m512 a1 = _mm512_setzero_ps();

  // Coordinates [begin, end): whole steps of 16 while they last, then one
  // masked step. load(i, count) yields the indices of coordinates i ..
  // i+count-1 (count <= 16) in the first lanes.
  template <class Term, class Load>
  void steps(const Term& term, const Load& load, std::size_t begin, std::size_t end) {
    // Locals: packed bytes are read as char, which may alias anything, so
    // members would be stored back to memory after every step.
    __m512 b0 = a0, b1 = a1;
    std::size_t i = begin;
    for (; i + 2 * kLanes <= end; i += 2 * kLanes) {
      b0 = term.add(b0, load(i, kLanes), i);
      b1 = term.add(b1, load(i + kLanes, kLanes), i + kLanes);
    }
    for (; i + kLanes <= end; i += kLanes) b0 = term.add(b0, load(i, kLanes), i);
    if (i < end) b1 = term.add(b1, load(i, end - i), i, first_lanes(end - i));
    a0 = b0;
    a1 = b1;
  }

  float total() const { return _mm512_reduce_add_ps(_mm512_add_ps(a0, a1)); }
};

// Unpacked u16 indices. Lanes are clamped to k-1 so no load leaves the table;
// the largest index seen is checked once at the end.
template <class Term>
float run_indices(const Term& term, std::span<const std::uint16_t> idx, std::size_t n) {
  const std::size_t k = term.levels();
  if (k == 0) {
    if (n > 0) level_out_of_range(idx[0], 0);
    return 0.0f;
  }
  const __m512i top = _mm512_set1_epi32(static_cast<int>(k - 1));
  __m512i seen = _mm512_setzero_si512();
  const auto load = [&](std::size_t i, std::size_t count) {
    const __m512i v = _mm512_cvtepu16_epi32(
        _mm256_maskz_loadu_epi16(first_lanes(count), idx.data() + i));
    seen = _mm512_max_epu32(seen, v);
    return _mm512_min_epu32(v, top);
  };
  Accumulators acc;
  acc.steps(term, load, 0, n);
  if (_mm512_reduce_max_epu32(seen) >= k) {
    for (std::size_t i = 0; i < n; ++i) {
      if (idx[i] >= k) level_out_of_range(idx[i], k);
    }
  }
  return acc.total();
}

// Sixteen packed indices of 1..8 bits: group g (coordinates 16g .. 16g+15)
// takes the 2·bits bytes from byte 2·bits·g. Lane j copies the four bytes
// from byte ⌊j·bits/8⌋ of the group, shifts right by j·bits mod 8 and masks
// (an index spans at most two bytes, so the four reach past it; bytes beyond
// the 16 loaded read as zero).
// The byte picks and shifts of PackedLanes16 for each width, computed at
// compile time.
struct alignas(64) Layout {
  std::uint8_t pick[64] = {};
  std::int32_t shift[kLanes] = {};
};

constexpr std::array<Layout, 9> layouts() {
  std::array<Layout, 9> all{};
  for (unsigned bits = 1; bits <= 8; ++bits) {
    for (unsigned j = 0; j < kLanes; ++j) {
      const unsigned start = j * bits;
      for (unsigned b = 0; b < 4; ++b) all[bits].pick[4 * j + b] = static_cast<std::uint8_t>(start / 8 + b);
      all[bits].shift[j] = static_cast<std::int32_t>(start % 8);
    }
  }
  return all;
}

constexpr std::array<Layout, 9> kLayouts = layouts();

class PackedLanes16 {
 public:
  explicit PackedLanes16(unsigned bits)
      : bits_(bits),
        mask_(_mm512_set1_epi32(static_cast<int>((1u << bits) - 1))),
        pick_(_mm512_load_si512(kLayouts[bits].pick)),
        shift_(_mm512_load_si512(kLayouts[bits].shift)) {}

  // Leading groups whose 16-byte load stays inside `size` bytes.
  std::size_t safe_groups(std::size_t size) const {
    return size < 16 ? 0 : (size - 16) / (2 * bits_) + 1;
  }

  // Indices of the group at `group`, reading 16 bytes.
  __m512i load(const std::uint8_t* group) const {
    return decode(_mm_loadu_si128(reinterpret_cast<const __m128i*>(group)));
  }
  // The first `count` indices of the group, reading only their bytes.
  __m512i load(const std::uint8_t* group, std::size_t count) const {
    const std::size_t bytes = packing::packed_len(count, bits_);
    return decode(_mm_maskz_loadu_epi8(static_cast<__mmask16>((1u << bytes) - 1), group));
  }

 private:
  __m512i decode(__m128i bytes) const {
    const __m512i words = _mm512_permutexvar_epi8(pick_, _mm512_zextsi128_si512(bytes));
    return _mm512_and_si512(_mm512_srlv_epi32(words, shift_), mask_);
  }

  unsigned bits_;
  __m512i mask_;
  __m512i pick_;
  __m512i shift_;
};

// Packed coordinates [begin, n), begin a multiple of 16; the caller
// guarantees k >= 2^bits and ceil(n·bits/8) packed bytes.
template <class Term>
void packed_steps(Accumulators& acc, const Term& term, std::span<const std::uint8_t> packed,
                  unsigned bits, std::size_t begin, std::size_t n) {
  if (begin >= n) return;
  if (bits >= 1 && bits <= 8) {
    const PackedLanes16 lanes(bits);
    const std::uint8_t* bytes = packed.data();
    // A group starts on a byte: 16·bits bits are whole bytes.
    const auto at = [&](std::size_t i) { return bytes + i * bits / 8; };
    const std::size_t safe = std::max(begin, std::min(n / kLanes, lanes.safe_groups(packed.size())) * kLanes);
    acc.steps(term, [&](std::size_t i, std::size_t) { return lanes.load(at(i)); }, begin, safe);
    acc.steps(term, [&](std::size_t i, std::size_t count) { return lanes.load(at(i), count); }, safe, n);
    return;
  }
  // Other widths through a buffer; begin is a multiple of 16, so each chunk
  // starts on a byte boundary.
  constexpr std::size_t kChunk = 64;
  alignas(64) std::uint16_t buf[kChunk];
  for (std::size_t i = begin; i < n; i += kChunk) {
    const std::size_t count = std::min(kChunk, n - i);
    packing::unpack_scalar(packed.subspan(i * bits / 8), std::span(buf, count), count, bits);
    acc.steps(term,
              [&](std::size_t at, std::size_t lanes) {
                return _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(first_lanes(lanes), buf + (at - i)));
              },
              i, i + count);
  }
}

template <class Term>
float run_packed(const Term& term, std::span<const std::uint8_t> packed, unsigned bits,
                 std::size_t n) {
  Accumulators acc;
  packed_steps(acc, term, packed, bits, 0, n);
  return acc.total();
}

float lut_sum(std::span<const float> lut, std::size_t k, std::span<const std::uint16_t> idx,
              std::size_t n) {
  return run_indices(LutTerm(lut.data(), k), idx, n);
}

float lut_sum_packed(std::span<const float> lut, std::size_t k,
                     std::span<const std::uint8_t> packed, unsigned bits, std::size_t n) {
  return run_packed(LutTerm(lut.data(), k), packed, bits, n);
}

float level_dot(std::span<const float> levels, std::span<const float> q_rot,
                std::span<const std::uint16_t> idx, std::size_t n) {
  return with_level_term(levels, q_rot.data(),
                         [&](const auto& term) { return run_indices(term, idx, n); });
}

float level_dot_packed(std::span<const float> levels, std::span<const float> q_rot,
                       std::span<const std::uint8_t> packed, unsigned bits, std::size_t n) {
  return with_level_term(levels, q_rot.data(),
                         [&](const auto& term) { return run_packed(term, packed, bits, n); });
}

// The sign term: the sign bits of coordinates i .. i+15 are the two bytes
// from byte i/8, bit t of the pair for coordinate i+t.
class SignTerm {
 public:
  SignTerm(std::span<const float> q_proj, std::span<const std::uint8_t> signs)
      : q_proj_(q_proj.data()), signs_(signs.data()) {}

  // Coordinates i .. i+31 (i a multiple of 8) into two accumulators.
  void add32(__m512& s0, __m512& s1, std::size_t i) const {
    std::uint32_t w;
    std::memcpy(&w, signs_ + i / 8, sizeof w);
    s0 = add(s0, static_cast<__mmask16>(w), _mm512_loadu_ps(q_proj_ + i));
    s1 = add(s1, static_cast<__mmask16>(w >> 16), _mm512_loadu_ps(q_proj_ + i + kLanes));
  }

  // Coordinates [begin, m), begin a multiple of 8, added to s0 and s1.
  float finish(__m512 s0, __m512 s1, std::size_t begin, std::size_t m) const {
    std::size_t i = begin;
    for (; i + 2 * kLanes <= m; i += 2 * kLanes) add32(s0, s1, i);
    for (; i < m; i += kLanes) {
      const std::size_t count = std::min(kLanes, m - i);
      std::uint32_t set = signs_[i / 8];
      if (count > 8) set |= static_cast<std::uint32_t>(signs_[i / 8 + 1]) << 8;
      // Lanes past m load zero and add -0.0: the sum is unchanged.
      s0 = add(s0, static_cast<__mmask16>(set), _mm512_maskz_loadu_ps(first_lanes(count), q_proj_ + i));
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(s0, s1));
  }

 private:
  // q_proj's sixteen values with the sign flipped where `set` is clear.
  static __m512 add(__m512 acc, __mmask16 set, __m512 q_proj) {
    const __m512i q = _mm512_castps_si512(q_proj);
    const __m512i sign_bit = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    return _mm512_add_ps(acc, _mm512_castsi512_ps(_mm512_mask_xor_epi32(q, ~set, q, sign_bit)));
  }

  const float* q_proj_;
  const std::uint8_t* signs_;
};

float sign_sum(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
               std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  return SignTerm(q_proj, signs).finish(_mm512_setzero_ps(), _mm512_setzero_ps(), 0, m);
}

// Both terms in one pass over a packed code: the index decode, level lookup
// and sign expansion of a 32-coordinate block overlap in the pipeline.
ScoreTerms level_dot_and_signs_packed(std::span<const float> levels, std::span<const float> q_rot,
                                      std::span<const std::uint8_t> packed, unsigned bits,
                                      std::span<const float> q_proj,
                                      std::span<const std::uint8_t> signs, std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  const SignTerm sign_term(q_proj, signs);
  return with_level_term(levels, q_rot.data(), [&](const auto& term) {
    Accumulators acc;
    __m512 s0 = _mm512_setzero_ps();
    __m512 s1 = _mm512_setzero_ps();
    std::size_t i = 0;
    if (bits >= 1 && bits <= 8) {
      const PackedLanes16 lanes(bits);
      const std::size_t lane_end = std::min(n / kLanes, lanes.safe_groups(packed.size())) * kLanes;
      const std::size_t end = std::min(lane_end, m) / (2 * kLanes) * (2 * kLanes);
      __m512 b0 = acc.a0, b1 = acc.a1, t0 = s0, t1 = s1;
      for (; i < end; i += 2 * kLanes) {
        b0 = term.add(b0, lanes.load(packed.data() + i * bits / 8), i);
        b1 = term.add(b1, lanes.load(packed.data() + (i + kLanes) * bits / 8), i + kLanes);
        sign_term.add32(t0, t1, i);
      }
      acc.a0 = b0;
      acc.a1 = b1;
      s0 = t0;
      s1 = t1;
    }
    packed_steps(acc, term, packed, bits, i, n);
    return ScoreTerms{acc.total(), sign_term.finish(s0, s1, i, m)};
  });
}

}  // namespace

const ScoreKernels& avx512_score_kernels() {
  // The f64 terms of a rescore are few per query: the AVX2 form serves.
  static const ScoreKernels kAvx512 = {
      .name = "avx512",
      .level_form_max_levels = 32,
      .lut_sum = lut_sum,
      .lut_sum_packed = lut_sum_packed,
      .level_dot = level_dot,
      .level_dot_packed = level_dot_packed,
      .sign_sum = sign_sum,
      .level_dot_and_signs_packed = level_dot_and_signs_packed,
      .wide_terms_packed = avx2_score_kernels().wide_terms_packed,
  };
  return kAvx512;
}

}  // namespace velq::scoring
