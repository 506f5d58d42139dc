// AVX2+FMA scoring kernels. Eight coordinates per step into four 8-lane
// accumulators (in turn, to hide add latency), a horizontal add, then the
// last coordinates one by one; the one-pass form interleaves the sign term's
// blocks of 32 coordinates with the MSE term's. Level lookups use one permute
// for up to 8 levels, two permutes and a blend for up to 16, a gather beyond;
// the table form gathers from its row. Packed codes are decoded in registers
// (PackedLanes) for widths up to 8 bits, and through a small stack buffer for
// wider ones and for the last few groups near the end of the bytes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

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
    // Locals: packed bytes are read as char, which may alias anything, so
    // members would be stored back to memory after every step.
    __m256 b0 = a0, b1 = a1, b2 = a2, b3 = a3;
    std::size_t i = begin;
    for (; i + 32 <= end; i += 32) {
      b0 = term.add8(b0, load8(i), i);
      b1 = term.add8(b1, load8(i + 8), i + 8);
      b2 = term.add8(b2, load8(i + 16), i + 16);
      b3 = term.add8(b3, load8(i + 24), i + 24);
    }
    for (; i < end; i += 8) b0 = term.add8(b0, load8(i), i);
    a0 = b0;
    a1 = b1;
    a2 = b2;
    a3 = b3;
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

// Calls f(lanes, load8) for a packed width of 1..8 bits, load8(i) decoding
// coordinates i .. i+7 in registers with no per-step branch.
template <class F>
void with_packed_lanes(std::span<const std::uint8_t> packed, unsigned bits, const F& f) {
  const packing::PackedLanes lanes(bits);
  const std::uint8_t* bytes = packed.data();
  if (lanes.split()) {
    f(lanes, [&](std::size_t at) { return lanes.load<true>(bytes + at * bits / 8); });
  } else {
    f(lanes, [&](std::size_t at) { return lanes.load<false>(bytes + at * bits / 8); });
  }
}

// Packed coordinates [begin, n), begin a multiple of 8; the caller
// guarantees k >= 2^bits.
template <class Term>
void packed_steps(Accumulators& acc, const Term& term, std::span<const std::uint8_t> packed,
                  unsigned bits, std::size_t begin, std::size_t n) {
  std::size_t i = begin;
  const std::size_t whole_end = n / 8 * 8;
  if (bits >= 1 && bits <= 8) {
    with_packed_lanes(packed, bits, [&](const packing::PackedLanes& lanes, const auto& load8) {
      const std::size_t end = std::min(n / 8, lanes.safe_groups(packed.size())) * 8;
      if (end > i) {
        acc.steps(term, load8, i, end);
        i = end;
      }
    });
    // The last whole groups, too near the end for a word load (at most 8
    // bytes), from a zero-padded copy: decoded in registers like the others,
    // so the sum takes the same steps. i is a multiple of 8, so it starts on
    // a byte boundary.
    const std::size_t first = i * bits / 8;
    const std::size_t bytes = (whole_end - std::min(i, whole_end)) * bits / 8;
    alignas(32) std::uint8_t tail[32] = {};
    if (i < whole_end && bytes + 8 <= sizeof tail && first + bytes <= packed.size()) {
      std::memcpy(tail, packed.data() + first, bytes);
      with_packed_lanes(std::span<const std::uint8_t>(tail), bits,
                        [&](const packing::PackedLanes&, const auto& load8) {
                          acc.steps(term, [&](std::size_t at) { return load8(at - i); }, i,
                                    whole_end);
                        });
      i = whole_end;
    }
  }
  // The rest (wide codes, or the last coordinates of a partial group)
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
}

template <class Term>
float run_packed(const Term& term, std::span<const std::uint8_t> packed, unsigned bits,
                 std::size_t n) {
  Accumulators acc;
  packed_steps(acc, term, packed, bits, 0, n);
  return acc.total();
}

// Calls f with the level term suited to the number of levels.
template <class F>
auto with_level_term(std::span<const float> levels, const float* q_rot, const F& f) {
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

// The sign term. Bit t of a sign byte is moved to the sign bit of lane t: a
// clear bit flips q_proj's sign by XOR, a set bit leaves it. One broadcast
// 4-byte word serves 32 coordinates, byte b's bit t shifted left by 31-8b-t.
class SignTerm {
 public:
  SignTerm(std::span<const float> q_proj, std::span<const std::uint8_t> signs)
      : q_proj_(q_proj.data()),
        signs_(signs.data()),
        sign_bit_(_mm256_set1_epi32(static_cast<int>(0x80000000u))) {
    for (int b = 0; b < 4; ++b) {
      const int top = 31 - 8 * b;
      to_sign_bit_[b] = _mm256_setr_epi32(top, top - 1, top - 2, top - 3, top - 4, top - 5,
                                          top - 6, top - 7);
    }
  }

  // Coordinates i .. i+31 (i a multiple of 32) into two accumulators.
  void add32(__m256& s0, __m256& s1, std::size_t i) const {
    const __m256i word = word_at(i);
    s0 = add8(s0, word, 0, i);
    s1 = add8(s1, word, 1, i + 8);
    s0 = add8(s0, word, 2, i + 16);
    s1 = add8(s1, word, 3, i + 24);
  }

  // Coordinates [begin, m), begin a multiple of 8, added to s0 and s1.
  float finish(__m256 s0, __m256 s1, std::size_t begin, std::size_t m) const {
    std::size_t i = begin;
    for (; i + 32 <= m; i += 32) add32(s0, s1, i);
    for (; i + 8 <= m; i += 8) s0 = add8(s0, byte_at(i), 0, i);
    float s = hsum(_mm256_add_ps(s0, s1));
    for (; i < m; ++i) s += one(i);
    return s;
  }

  // +-q_proj of coordinates i .. i+7, their signs in byte b of `word`.
  __m256 signed8(__m256i word, int b, std::size_t i) const {
    const __m256i bits = _mm256_sllv_epi32(word, to_sign_bit_[b]);
    const __m256 flip = _mm256_castsi256_ps(_mm256_andnot_si256(bits, sign_bit_));
    return _mm256_xor_ps(_mm256_loadu_ps(q_proj_ + i), flip);
  }
  // The sign bytes' 4-byte word holding coordinates i .. i+31.
  __m256i word_at(std::size_t i) const {
    std::uint32_t w;
    std::memcpy(&w, signs_ + i / 8, sizeof w);
    return _mm256_set1_epi32(static_cast<int>(w));
  }
  // The byte holding coordinates i .. i+7 (i a multiple of 8), as a word.
  __m256i byte_at(std::size_t i) const { return _mm256_set1_epi32(signs_[i / 8]); }
  float one(std::size_t i) const { return (signs_[i / 8] >> (i % 8)) & 1 ? q_proj_[i] : -q_proj_[i]; }

 private:
  __m256 add8(__m256 acc, __m256i word, int b, std::size_t i) const {
    return _mm256_add_ps(acc, signed8(word, b, i));
  }

  const float* q_proj_;
  const std::uint8_t* signs_;
  __m256i sign_bit_;
  __m256i to_sign_bit_[4];
};

float sign_sum(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
               std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  return SignTerm(q_proj, signs).finish(_mm256_setzero_ps(), _mm256_setzero_ps(), 0, m);
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
    __m256 s0 = _mm256_setzero_ps();
    __m256 s1 = _mm256_setzero_ps();
    std::size_t i = 0;
    if (bits >= 1 && bits <= 8) {
      with_packed_lanes(packed, bits, [&](const packing::PackedLanes& lanes, const auto& load8) {
        const std::size_t lane_end = std::min(n / 8, lanes.safe_groups(packed.size())) * 8;
        const std::size_t end = std::min(lane_end, m) / 32 * 32;
        __m256 b0 = acc.a0, b1 = acc.a1, b2 = acc.a2, b3 = acc.a3, t0 = s0, t1 = s1;
        for (; i < end; i += 32) {
          b0 = term.add8(b0, load8(i), i);
          b1 = term.add8(b1, load8(i + 8), i + 8);
          b2 = term.add8(b2, load8(i + 16), i + 16);
          b3 = term.add8(b3, load8(i + 24), i + 24);
          sign_term.add32(t0, t1, i);
        }
        acc.a0 = b0;
        acc.a1 = b1;
        acc.a2 = b2;
        acc.a3 = b3;
        s0 = t0;
        s1 = t1;
      });
    }
    packed_steps(acc, term, packed, bits, i, n);
    return ScoreTerms{acc.total(), sign_term.finish(s0, s1, i, m)};
  });
}

// f64 sums of eight f32 lanes: the lanes widened in two halves, into lo and hi.
void add_wide(__m256d& lo, __m256d& hi, __m256 v) {
  lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
  hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
}

// lo/hi += a * b lane by lane in f64, where each product is exact.
void fma_wide(__m256d& lo, __m256d& hi, __m256 a, __m256 b) {
  lo = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(a)),
                       _mm256_cvtps_pd(_mm256_castps256_ps128(b)), lo);
  hi = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)),
                       _mm256_cvtps_pd(_mm256_extractf128_ps(b, 1)), hi);
}

double hsum_pd(__m256d v) {
  __m128d s = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  s = _mm_add_sd(s, _mm_unpackhi_pd(s, s));
  return _mm_cvtsd_f64(s);
}

// The MSE term in f64: level(idx) * q_rot over coordinates, packed indices
// decoded in registers up to 8 bits, through a small buffer beyond that and
// for the last coordinates.
template <class Lookup>
double wide_level_dot_packed(std::span<const float> levels, const float* q_rot,
                             std::span<const std::uint8_t> packed, unsigned bits, std::size_t n) {
  const Lookup lookup(levels);
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  const auto add8 = [&](__m256d& lo, __m256d& hi, __m256i idx, std::size_t i) {
    fma_wide(lo, hi, lookup.lookup(idx), _mm256_loadu_ps(q_rot + i));
  };
  std::size_t i = 0;
  if (bits >= 1 && bits <= 8) {
    with_packed_lanes(packed, bits, [&](const packing::PackedLanes& lanes, const auto& load8) {
      const std::size_t end = std::min(n / 8, lanes.safe_groups(packed.size())) * 8;
      for (; i + 16 <= end; i += 16) {
        add8(a0, a1, load8(i), i);
        add8(a2, a3, load8(i + 8), i + 8);
      }
      for (; i < end; i += 8) add8(a0, a1, load8(i), i);
    });
  }
  // i is a multiple of 8, so it starts on a byte boundary.
  constexpr std::size_t kChunk = 64;
  alignas(32) std::uint16_t buf[kChunk];
  double tail = 0.0;
  for (; i < n; i += kChunk) {
    const std::size_t count = std::min(kChunk, n - i);
    packing::unpack_scalar(packed.subspan(i * bits / 8), std::span(buf, count), count, bits);
    const std::size_t whole = count / 8 * 8;
    for (std::size_t j = 0; j < whole; j += 8) {
      add8(a0, a1,
           _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + j))),
           i + j);
    }
    for (std::size_t j = whole; j < count; ++j) {
      tail += static_cast<double>(levels[buf[j]]) * static_cast<double>(q_rot[i + j]);
    }
  }
  return hsum_pd(_mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3))) + tail;
}

double wide_sign_sum(std::span<const float> q_proj, std::span<const std::uint8_t> signs,
                     std::size_t n) {
  const std::size_t m = std::min(n, 8 * signs.size());
  const SignTerm term(q_proj, signs);
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  std::size_t i = 0;
  for (; i + 32 <= m; i += 32) {
    const __m256i word = term.word_at(i);
    add_wide(a0, a1, term.signed8(word, 0, i));
    add_wide(a2, a3, term.signed8(word, 1, i + 8));
    add_wide(a0, a1, term.signed8(word, 2, i + 16));
    add_wide(a2, a3, term.signed8(word, 3, i + 24));
  }
  for (; i + 8 <= m; i += 8) add_wide(a0, a1, term.signed8(term.byte_at(i), 0, i));
  double s = hsum_pd(_mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3)));
  for (; i < m; ++i) s += static_cast<double>(term.one(i));
  return s;
}

WideTerms wide_terms_packed(std::span<const float> levels, std::span<const float> q_rot,
                            std::span<const std::uint8_t> packed, unsigned bits,
                            std::span<const float> q_proj, std::span<const std::uint8_t> signs,
                            std::size_t n) {
  WideTerms t;
  if (levels.size() <= 8) {
    t.mse = wide_level_dot_packed<Levels8>(levels, q_rot.data(), packed, bits, n);
  } else if (levels.size() <= 16) {
    t.mse = wide_level_dot_packed<Levels16>(levels, q_rot.data(), packed, bits, n);
  } else {
    t.mse = wide_level_dot_packed<LevelsGather>(levels, q_rot.data(), packed, bits, n);
  }
  t.signs = wide_sign_sum(q_proj, signs, n);
  return t;
}

}  // namespace

const ScoreKernels& avx2_score_kernels() {
  static constexpr ScoreKernels kAvx2 = {
      .name = "avx2",
      .level_form_max_levels = 16,
      .lut_sum = lut_sum,
      .lut_sum_packed = lut_sum_packed,
      .level_dot = level_dot,
      .level_dot_packed = level_dot_packed,
      .sign_sum = sign_sum,
      .level_dot_and_signs_packed = level_dot_and_signs_packed,
      .wide_terms_packed = wide_terms_packed,
  };
  return kAvx2;
}

}  // namespace velq::scoring
