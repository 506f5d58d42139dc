#include "common/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>

namespace velq {

namespace {

bool set(const char* value) { return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0; }

#if defined(__x86_64__) || defined(__i386__)
// XCR0: which register states the operating system saves on a context
// switch. Without the bits, the instructions work until the first switch.
unsigned long long saved_states() {
  unsigned eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
}

CpuFeatures processor_features() {
  CpuFeatures f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool fma = (ecx & bit_FMA) != 0;
  const bool f16c = (ecx & bit_F16C) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (!osxsave || !avx) return f;
  const unsigned long long xcr0 = saved_states();
  constexpr unsigned long long kYmm = 0x6;    // SSE and AVX state
  constexpr unsigned long long kZmm = 0xE6;   // plus opmask and both ZMM halves
  if ((xcr0 & kYmm) != kYmm) return f;
  f.fma = fma;
  f.f16c = f16c;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.avx2 = (ebx & bit_AVX2) != 0;
  if ((xcr0 & kZmm) != kZmm) return f;
  f.avx512f = (ebx & bit_AVX512F) != 0;
  f.avx512bw = (ebx & bit_AVX512BW) != 0;
  f.avx512vl = (ebx & bit_AVX512VL) != 0;
  f.avx512vbmi = (ecx & bit_AVX512VBMI) != 0;
  return f;
}
#else
CpuFeatures processor_features() { return {}; }
#endif

}  // namespace

CpuFeatures detect_cpu_features(const char* force_portable, const char* max_isa) {
  if (set(force_portable)) return {};
  if (max_isa != nullptr && std::strcmp(max_isa, "portable") == 0) return {};
  CpuFeatures f = processor_features();
  if (max_isa != nullptr && std::strcmp(max_isa, "avx2") == 0) {
    f.avx512f = f.avx512bw = f.avx512vl = f.avx512vbmi = false;
  }
  return f;
}

const CpuFeatures& cpu_features() {
  static const CpuFeatures features =
      detect_cpu_features(std::getenv("VELQ_FORCE_PORTABLE"), std::getenv("VELQ_MAX_ISA"));
  return features;
}

KernelLevel kernel_level_of(const CpuFeatures& f) {
  if (!(f.avx2 && f.fma && f.f16c)) return KernelLevel::kPortable;
  if (!(f.avx512f && f.avx512bw && f.avx512vl && f.avx512vbmi)) return KernelLevel::kAvx2;
  return KernelLevel::kAvx512;
}

KernelLevel kernel_level() {
  // A build without the x86 kernel files has the portable forms only,
  // whatever the processor.
  static const KernelLevel level =
      VELQ_X86 ? kernel_level_of(cpu_features()) : KernelLevel::kPortable;
  return level;
}

}  // namespace velq
