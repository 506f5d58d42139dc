// Process-wide processor feature detection, computed once. Kernels are chosen
// from these flags at run time; VELQ_FORCE_PORTABLE=1 in the environment
// clears them all so the portable forms can be exercised on any machine.
#pragma once

namespace velq {

struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool f16c = false;
};

const CpuFeatures& cpu_features();

inline bool has_avx2() { return cpu_features().avx2; }
inline bool has_avx2_fma() { return cpu_features().avx2 && cpu_features().fma; }

}  // namespace velq
