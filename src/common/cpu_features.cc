#include "common/cpu_features.h"

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
  f.f16c = __builtin_cpu_supports("f16c");
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velq
