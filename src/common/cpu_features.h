// Process-wide processor feature detection, computed once. Kernels are chosen
// from these flags at run time. Two environment variables lower the level so
// every form can be exercised on one machine:
//   VELQ_MAX_ISA=avx2      clears the AVX-512 flags;
//   VELQ_MAX_ISA=portable  or VELQ_FORCE_PORTABLE=1 clears them all.
// Any other VELQ_MAX_ISA value (avx512, empty) leaves the detected flags.
#pragma once

namespace velq {

struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool f16c = false;
  // AVX-512 foundation, byte/word, vector-length and byte-permute
  // instructions, each only when the system saves the 512-bit state.
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512vbmi = false;
};

const CpuFeatures& cpu_features();

// The flags as detected from the processor and the operating system, then
// lowered by the two variables' values (null: unset). Exposed for tests.
CpuFeatures detect_cpu_features(const char* force_portable, const char* max_isa);

inline bool has_avx2() { return cpu_features().avx2; }
inline bool has_avx2_fma() { return cpu_features().avx2 && cpu_features().fma; }
// The level the *_avx512 kernels need; it implies has_avx2_fma().
inline bool has_avx512() {
  const CpuFeatures& f = cpu_features();
  return f.avx512f && f.avx512bw && f.avx512vl && f.avx512vbmi && f.avx2 && f.fma;
}

}  // namespace velq
