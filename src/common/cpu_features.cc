#include "common/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>

namespace velq {

namespace {

CpuFeatures detect() {
  CpuFeatures f;
  const char* force = std::getenv("VELQ_FORCE_PORTABLE");
  if (force != nullptr && std::strcmp(force, "") != 0 && std::strcmp(force, "0") != 0) return f;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.fma = __builtin_cpu_supports("fma");
  // Older clang does not know "f16c" as a feature name: ask CPUID leaf 1.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  f.f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velq
