// AVX2+FMA scoring kernels. Eight coordinates per step into two 8-lane
// accumulators (alternating, to hide add latency), a horizontal add, then the
// last coordinates one by one. Level lookups use one permute for up to 8
// levels, two permutes and a blend for up to 16, a gather beyond; the table
// form gathers from its row. Packed codes are decoded in registers
// (PackedLanes) for widths up to 8 bits, and through a small stack buffer for
// wider ones and for the last few groups near the end of the bytes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/panic.h"
#include "quantizer/packed_lanes_avx2.h"
#include "quantizer/packing.h"
#include "quantizer/score_kernels.h"

namespace velq::scoring {

namespace {

float hsum(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

std::uint32_t hmax_u32(__m256i v) {
  __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(m));
}

[[noreturn]] void level_out_of_range(std::size_t index, std::size_t k) {
  panic("index out of bounds: the len is " + std::to_string(k) + " but the index is " +
        std::to_string(index));
}

// Table form: lut row i holds k products; lanes gather from 8 consecutive rows.
class LutTerm {
 public:
  LutTerm(const float* lut, std::size_t k)
      : lut_(lut),
        k_(k),
        row_offsets_(_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                        _mm256_set1_epi32(static_cast<int>(k)))) {}
  std::size_t levels() const { return k_; }
  __m256 add8(__m256 acc, __m256i idx, std::size_t i) const {
    const __m256 v = _mm256_i32gather_ps(lut_ + i * k_, _mm256_add_epi32(idx, row_offsets_), 4);
    return _mm256_add_ps(acc, v);
  }
  float one(std::uint32_t idx, std::size_t i) const { return lut_[i * k_ + idx]; }

 private:
  const float* lut_;
  std::size_t k_;
  __m256i row_offsets_;
};

// Up to 8 levels in one register (unused lanes zero).
class Levels8 {
 public:
  explicit Levels8(std::span<const float> levels) {
    alignas(32) float padded[8] = {};
    std::copy_n(levels.begin(), std::min<std::size_t>(levels.size(), 8), padded);
    reg_ = _mm256_load_ps(padded);
  }
  __m256 lookup(__m256i idx) const { return _mm256_permutevar8x32_ps(reg_, idx); }

 private:
  __m256 reg_;
};

// Up to 16 levels in two registers; bit 3 of the index picks the register.
class Levels16 {
 public:
  explicit Levels16(std::span<const float> levels)
      : lo_(levels.first(std::min<std::size_t>(levels.size(), 8))),
        hi_(levels.size() > 8 ? levels.subspan(8) : std::span<const float>()) {}
  __m256 lookup(__m256i idx) const {
    const __m256 pick_hi = _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28));
    return _mm256_blendv_ps(lo_.lookup(idx), hi_.lookup(idx), pick_hi);
  }

 private:
  Levels8 lo_;
  Levels8 hi_;
};

class LevelsGather {
 public:
  explicit LevelsGather(std::span<const float> levels) : levels_(levels.data()) {}
  __m256 lookup(__m256i idx) const { return _mm256_i32gather_ps(levels_, idx, 4); }

 private:
  const float* levels_;
};

// Level form: level(idx) * q_rot, fused into the accumulator.
template <class Lookup>
class LevelTerm {
 public:
  LevelTerm(std::span<const float> levels, const float* q_rot)
      : levels_(levels), lookup_(levels), q_rot_(q_rot) {}
  std::size_t levels() const { return levels_.size(); }
  __m256 add8(__m256 acc, __m256i idx, std::size_t i) const {
    return _mm256_fmadd_ps(lookup_.lookup(idx), _mm256_loadu_ps(q_rot_ + i), acc);
  }
  float one(std::uint32_t idx, std::size_t i) const { return levels_[idx] * q_rot_[i]; }

 private:
  std::span<const float> levels_;
  Lookup lookup_;
  const float* q_rot_;
};

// Four independent chains, so the loop is bound by throughput rather than
// by the latency of one add.
struct Accumulators {
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  __m256 a2 = _mm256_setzero_ps();
  __m256 a3 = _mm256_setzero_ps();
  float tail = 0.0f;

  // Coordinates [begin, end), end - begin a multiple of 8; load8(i) yields
  // the indices of coordinates i .. i+7.
  template <class Term, class Load8>
  void steps(const Term& term, const Load8& load8, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    for (; i + 32 <= end; i += 32) {
      a0 = term.add8(a0, load8(i), i);
      a1 = term.add8(a1, load8(i + 8), i + 8);
      a2 = term.add8(a2, load8(i + 16), i + 16);
      a3 = term.add8(a3, load8(i + 24), i + 24);
    }
    for (; i < end; i += 8) a0 = term.add8(a0, load8(i), i);
  }

  float total() const {
    return hsum(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3))) + tail;
  }
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
  const __m256i top = _mm256_set1_epi32(static_cast<int>(k - 1));
  __m256i seen = _mm256_setzero_si256();
  auto load8 = [&](std::size_t i) {
    const __m256i v = _mm256_cvtepu16_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(idx.data() + i)));
    seen = _mm256_max_epu32(seen, v);
    return _mm256_min_epu32(v, top);
  };
  Accumulators acc;
  const std::size_t vec_end = n / 8 * 8;
  acc.steps(term, load8, 0, vec_end);
  if (hmax_u32(seen) >= k) {
    for (std::size_t i = 0; i < vec_end; ++i) {
      if (idx[i] >= k) level_out_of_range(idx[i], k);
    }
  }
  for (std::size_t i = vec_end; i < n; ++i) {
    if (idx[i] >= k) level_out_of_range(idx[i], k);
    acc.tail += term.one(idx[i], i);
  }
  return acc.total();
}

// Packed indices; the caller guarantees k >= 2^bits.
template <class Term>
float run_packed(const Term& term, std::span<const std::uint8_t> packed, unsigned bits,
                 std::size_t n) {
  Accumulators acc;
  std::size_t i = 0;
  if (bits >= 1 && bits <= 8) {
    const packing::PackedLanes lanes(bits);
    i = std::min(n / 8, lanes.safe_groups(packed.size())) * 8;
    const std::uint8_t* bytes = packed.data();
    if (lanes.split()) {
      acc.steps(term, [&](std::size_t at) { return lanes.load<true>(bytes + at / 8 * bits); }, 0, i);
    } else {
      acc.steps(term, [&](std::size_t at) { return lanes.load<false>(bytes + at / 8 * bits); }, 0, i);
    }
  }
  // The rest (wide codes, or groups too near the end for a 4-byte load)
  // through a buffer; i is a multiple of 8, so it starts on a byte boundary.
  constexpr std::size_t kChunk = 64;
  alignas(32) std::uint16_t buf[kChunk];
  for (; i < n; i += kChunk) {
    const std::size_t count = std::min(kChunk, n - i);
    packing::unpack_scalar(packed.subspan(i * bits / 8), std::span(buf, count), count, bits);
    const std::size_t whole = count / 8 * 8;
    auto load8 = [&](std::size_t at) {
      return _mm256_cvtepu16_epi32(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + (at - i))));
    };
    acc.steps(term, load8, i, i + whole);
    for (std::size_t j = whole; j < count; ++j) acc.tail += term.one(buf[j], i + j);
  }
  return acc.total();
}

// Calls f with the level term suited to the number of levels.
template <class F>
float with_level_term(std::span<const float> levels, const float* q_rot, const F& f) {
  if (levels.size() <= 8) return f(LevelTerm<Levels8>(levels, q_rot));
  if (levels.size() <= 16) return f(LevelTerm<Levels16>(levels, q_rot));
  return f(LevelTerm<LevelsGather>(levels, q_rot));
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

// Bit t of a sign byte moved to the sign bit of lane t: a clear bit flips
// q_proj's sign by XOR, a set bit leaves it. One broadcast 4-byte word serves
// 32 coordinates, byte b's bit t shifted left by 31 - 8b - t.
float sign_sum(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
               std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  const __m256i sign_bit = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  __m256i to_sign_bit[4];
  for (int b = 0; b < 4; ++b) {
    const int top = 31 - 8 * b;
    to_sign_bit[b] = _mm256_setr_epi32(top, top - 1, top - 2, top - 3, top - 4, top - 5, top - 6,
                                       top - 7);
  }
  auto add8 = [&](__m256 acc, __m256i word, int b, std::size_t i) {
    const __m256i bits = _mm256_sllv_epi32(word, to_sign_bit[b]);
    const __m256 flip = _mm256_castsi256_ps(_mm256_andnot_si256(bits, sign_bit));
    return _mm256_add_ps(acc, _mm256_xor_ps(_mm256_loadu_ps(q_proj.data() + i), flip));
  };
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= m; i += 32) {
    std::uint32_t w;
    std::memcpy(&w, signs.data() + i / 8, sizeof w);
    const __m256i word = _mm256_set1_epi32(static_cast<int>(w));
    a0 = add8(a0, word, 0, i);
    a1 = add8(a1, word, 1, i + 8);
    a0 = add8(a0, word, 2, i + 16);
    a1 = add8(a1, word, 3, i + 24);
  }
  for (; i + 8 <= m; i += 8) a0 = add8(a0, _mm256_set1_epi32(signs[i / 8]), 0, i);
  float s = hsum(_mm256_add_ps(a0, a1));
  for (; i < m; ++i) s += (signs[i / 8] >> (i % 8)) & 1 ? q_proj[i] : -q_proj[i];
  return s;
}

}  // namespace

const ScoreKernels& avx2_kernels() {
  static constexpr ScoreKernels kAvx2 = {"avx2", 16, lut_sum,          lut_sum_packed,
                                         level_dot, level_dot_packed, sign_sum};
  return kAvx2;
}

}  // namespace velq::scoring
