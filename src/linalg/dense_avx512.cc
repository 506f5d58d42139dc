// AVX-512 forms of the transposed products that make codes. As in the AVX2
// forms, each lane holds one output and takes its terms in row order, a
// multiply then an add (never fused), so the results are bit-identical to
// the portable loops; the registers are twice as wide and twice as many, so
// a tile keeps more sums in flight.
#include <immintrin.h>

#include "linalg/dense.h"
#include "linalg/transposed_tiles.h"

namespace velq::linalg {

namespace {

// Sixteen outputs per register, 32 registers; masked lanes neither load nor
// store.
struct Avx512 {
  static constexpr std::size_t kLanes = 16;
  using Vec = __m512;
  using Mask = __mmask16;
  struct StripTag;
  struct ValuesTag;

  static Mask tail_mask(std::size_t d) {
    const std::size_t tail = d % kLanes == 0 ? kLanes : d % kLanes;
    return static_cast<Mask>((1u << tail) - 1u);
  }
  // About 20 sums per tile, leaving registers for a row's blocks and the
  // broadcast value.
  static constexpr std::size_t blocks_for(std::size_t v) { return v == 1 ? 12 : v == 2 ? 8 : 5; }

  static Vec zero() { return _mm512_setzero_ps(); }
  static Vec set1(float x) { return _mm512_set1_ps(x); }
  static Vec load(const float* p) { return _mm512_loadu_ps(p); }
  static Vec load(const float* p, Mask m) { return _mm512_maskz_loadu_ps(m, p); }
  static void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }
  static void store(float* p, Mask m, Vec v) { _mm512_mask_storeu_ps(p, m, v); }
  static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
};

}  // namespace

void mat_t_vecs_avx512(std::span<const float> m, std::size_t d, const float* y,
                       std::size_t count, float* out) {
  tiles::transposed_products<Avx512>(m, d, y, count, out);
}

void mat_t_vec_avx512(std::span<const float> m, std::size_t d, std::span<const float> y,
                      std::span<float> out) {
  tiles::transposed_product<Avx512>(m, d, y, out);
}

const DenseKernels& avx512_dense_kernels() {
  static constexpr DenseKernels kAvx512 = {
      .name = "avx512",
      .row_dots = row_dots_avx2,
      .mat_t_vec = mat_t_vec_avx512,
      .mat_t_vecs = mat_t_vecs_avx512};
  return kAvx512;
}

}  // namespace velq::linalg
