// Process-wide processor feature detection, computed once. Kernels are chosen
// from these flags at run time. Two environment variables lower the level so
// every form can be exercised on one machine:
//   VELQ_MAX_ISA=avx2      clears the AVX-512 flags;
//   VELQ_MAX_ISA=portable  or VELQ_FORCE_PORTABLE=1 clears them all.
// Any other VELQ_MAX_ISA value (avx512, empty) leaves the detected flags.
#pragma once

#include <type_traits>

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

// The instruction-set levels the kernel files are built for. A *_avx2.cc
// file is compiled with AVX2, FMA and F16C, a *_avx512.cc file adds AVX-512
// F, BW, VL and VBMI: a level is usable only where the processor (and
// VELQ_MAX_ISA) allows every set its files are compiled with.
enum class KernelLevel : unsigned char { kPortable, kAvx2, kAvx512 };

// The widest level the flags allow; kernel_level() is that of cpu_features()
// where the x86 kernel files are built, else kPortable.
KernelLevel kernel_level_of(const CpuFeatures& f);
KernelLevel kernel_level();

inline bool has_avx2() { return kernel_level() >= KernelLevel::kAvx2; }
inline bool has_avx512() { return kernel_level() >= KernelLevel::kAvx512; }

// Every unit with processor-specific kernels keeps them in a table of
// function pointers per level (`portable_<unit>_kernels()`, `avx2_...`,
// `avx512_...`, the last two defined in the unit's *_avx2.cc / *_avx512.cc
// file), and `active_<unit>_kernels()` keeps the widest_kernels() of them in
// a function-local static, so the choice is made once. A getter is called
// only when its level is usable: an x86 table's initialiser may itself use
// the instructions of its level. A null getter is a level the unit has no
// form for.
template <class Kernels>
using KernelGetter = const Kernels& (*)();

template <class Kernels>
const Kernels& widest_kernels(KernelGetter<Kernels> portable,
                              std::type_identity_t<KernelGetter<Kernels>> avx2,
                              std::type_identity_t<KernelGetter<Kernels>> avx512 = nullptr) {
  const KernelLevel level = kernel_level();
  if (avx512 != nullptr && level >= KernelLevel::kAvx512) return avx512();
  if (avx2 != nullptr && level >= KernelLevel::kAvx2) return avx2();
  return portable();
}

}  // namespace velq

// The getter of an x86 table where the *_avx2.cc / *_avx512.cc files are
// built (the compiler targets x86, VELQ_X86), and none elsewhere, where their
// declarations are left out too.
#if VELQ_X86
#define VELQ_X86_KERNELS(getter) (getter)
#else
#define VELQ_X86_KERNELS(getter) nullptr
#endif
