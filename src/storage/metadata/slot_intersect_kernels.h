// The merge kernels behind intersect_slots: a portable one and an AVX2 one
// that compares blocks of eight slots. Both write the ascending intersection
// of two slot lists to `out` and return its length; `out` must not alias an
// input and must hold min(na, nb) + kSlotMergeSlack slots (the AVX2 kernel
// stores whole blocks of eight).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velq::slot_kernels {

inline constexpr std::size_t kSlotMergeSlack = 8;

std::size_t merge_intersect_portable(const std::uint32_t* a, std::size_t na,
                                     const std::uint32_t* b, std::size_t nb,
                                     std::uint32_t* out);

struct SlotMergeKernels {
  const char* name;
  std::size_t (*merge_intersect)(const std::uint32_t* a, std::size_t na, const std::uint32_t* b,
                                 std::size_t nb, std::uint32_t* out);
};
const SlotMergeKernels& portable_slot_merge_kernels();
#if VELQ_X86
// REQUIRES: has_avx2().
const SlotMergeKernels& avx2_slot_merge_kernels();
std::size_t merge_intersect_avx2(const std::uint32_t* a, std::size_t na,
                                 const std::uint32_t* b, std::size_t nb, std::uint32_t* out);
#endif
// The widest table the processor (and VELQ_MAX_ISA) allows, chosen once.
const SlotMergeKernels& active_slot_merge_kernels();

}  // namespace velq::slot_kernels
