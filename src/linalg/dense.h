// Products of a square row-major f32 matrix with a vector, as the dense
// rotation and projection use them. Every output is one sequential f32 sum in
// index order (a multiply, then an add, per term), so the portable and AVX2
// forms give bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velq::linalg {

// out[i] = Σ_{j < min(|x|, d)} m[i·d + j] · x[j] for i < d. m holds d×d values;
// out at least d.
void mat_vec(std::span<const float> m, std::size_t d, std::span<const float> x,
             std::span<float> out);

// The same product for queries, whose estimates may differ by summation
// order: one vector through the blocked product (blocked_product.h), eight
// lane sums per output in fused multiply-adds where the processor has them,
// several times faster than mat_vec's sequential sums. Not for codes: they
// must keep mat_vec's bits. x holds exactly d values; out at least d. mt is
// m's transpose (mt[j·d + i] = m[i·d + j]), which the AVX-512 form reads
// instead of m with the same bits, or empty (then m is read).
// From kSplitProductMinDim on, where the matrix (d·d·4 bytes) outgrows a
// core's private cache, the outputs are split across the worker pool in
// chunks of at least kSplitProductRows: several cores stream their share of
// the matrix at once. The result has the same bits whatever the pool size,
// and a call from inside a pool loop is safe (loops nest).
inline constexpr std::size_t kSplitProductMinDim = 768;
inline constexpr std::size_t kSplitProductRows = 64;
void mat_vec_blocked(std::span<const float> m, std::span<const float> mt, std::size_t d,
                     std::span<const float> x, std::span<float> out);

// mat_vec_blocked of `count` vectors at once: out[v·d + i] = row i of m times
// xs[v·d ..), bit-identical to mat_vec_blocked of each vector, while each
// group of matrix rows is read from memory once for all of them. xs and out
// hold count·d values.
void mat_vecs_blocked(std::span<const float> m, std::size_t d, const float* xs, std::size_t count,
                      float* out);

// The kernel under mat_vec, also used for Gram-Schmidt's dot products:
// out[r] = Σ_{j < cols} m[r·stride + j] · x[j] for r < rows.
void row_dots(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
              const float* x, float* out);
void row_dots_portable(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
                       const float* x, float* out);
#if VELQ_X86
void row_dots_avx2(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
                   const float* x, float* out);
#endif

// out[j] = Σ_{i < d} m[i·d + j] · y[i] for j < d (the transpose). y and out at
// least d.
void mat_t_vec(std::span<const float> m, std::size_t d, std::span<const float> y,
               std::span<float> out);
void mat_t_vec_portable(std::span<const float> m, std::size_t d, std::span<const float> y,
                        std::span<float> out);
#if VELQ_X86
void mat_t_vec_avx2(std::span<const float> m, std::size_t d, std::span<const float> y,
                    std::span<float> out);
void mat_t_vec_avx512(std::span<const float> m, std::size_t d, std::span<const float> y,
                      std::span<float> out);
#endif

// mat_t_vec of `count` vectors at once: out[v·d + j] = Σ_{i < d} m[i·d + j] ·
// y[v·d + i] for v < count, bit-identical to mat_t_vec of each vector (the
// same sequential sum per output) whatever `count`, while every matrix entry
// loaded serves several vectors. y and out hold count·d values.
void mat_t_vecs(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                float* out);
void mat_t_vecs_portable(std::span<const float> m, std::size_t d, const float* y,
                         std::size_t count, float* out);
#if VELQ_X86
void mat_t_vecs_avx2(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                     float* out);
void mat_t_vecs_avx512(std::span<const float> m, std::size_t d, const float* y,
                       std::size_t count, float* out);
#endif

// The three products above as a table per processor level (AVX-512 keeps
// the AVX2 row_dots).
struct DenseKernels {
  const char* name;
  void (*row_dots)(const float* m, std::size_t rows, std::size_t stride, std::size_t cols,
                   const float* x, float* out);
  void (*mat_t_vec)(std::span<const float> m, std::size_t d, std::span<const float> y,
                    std::span<float> out);
  void (*mat_t_vecs)(std::span<const float> m, std::size_t d, const float* y, std::size_t count,
                     float* out);
};
const DenseKernels& portable_dense_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const DenseKernels& avx2_dense_kernels();
// REQUIRES: has_avx512().
const DenseKernels& avx512_dense_kernels();
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const DenseKernels& active_dense_kernels();

// d·d, the number of entries of a d×d matrix; panics when it does not fit in
// a size (the multiplication would wrap and shape checks would pass wrongly).
std::size_t square_size(std::uint64_t d);

// Shape checks shared by both forms: panics unless m is d×d and out, and the
// transpose's input, hold at least d values.
void check_dense_shapes(std::span<const float> m, std::size_t d, std::size_t out_len);
void check_dense_input(std::size_t in_len, std::size_t d);

// out[j] += Σ_{first_row <= i < d} m[i·d + j] · y[i], row after row: the
// remaining rows of a transposed product.
void accumulate_rows(const float* m, std::size_t d, const float* y, std::size_t first_row,
                     float* out);

}  // namespace velq::linalg
