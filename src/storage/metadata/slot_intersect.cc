#include "storage/metadata/slot_intersect.h"

#include <algorithm>
#include <cstddef>

#include "common/cpu_features.h"
#include "storage/metadata/slot_intersect_kernels.h"

namespace velq {
namespace {

using Slot = std::uint32_t;

// Past this size ratio, probing the long list for each slot of the short one
// (exponential then binary search) beats walking both lists.
constexpr std::size_t kGallopRatio = 32;

// For each slot of `small`, gallop forward in `large` from where the previous
// search stopped: O(|small| log(|large| / |small|)).
std::size_t gallop_intersect(const Slot* small, std::size_t ns, const Slot* large,
                             std::size_t nl, Slot* out) {
  std::size_t lo = 0, k = 0;
  for (std::size_t i = 0; i < ns && lo < nl; ++i) {
    const Slot x = small[i];
    std::size_t step = 1;
    while (lo + step < nl && large[lo + step] < x) step *= 2;
    // large[lo + step / 2] < x when step > 1, and large[lo + step] >= x or
    // lies past the end, so the first slot >= x is in this window.
    const Slot* first = large + lo + step / 2;
    const Slot* last = large + std::min(lo + step + 1, nl);
    lo = static_cast<std::size_t>(std::lower_bound(first, last, x) - large);
    if (lo < nl && large[lo] == x) out[k++] = x;
  }
  return k;
}

}  // namespace

namespace slot_kernels {

// Linear merge without data-dependent branches: the equal-slots test and the
// cursor steps are arithmetic, so random interleavings do not mispredict.
std::size_t merge_intersect_portable(const Slot* a, std::size_t na, const Slot* b,
                                     std::size_t nb, Slot* out) {
  std::size_t i = 0, j = 0, k = 0;
  while (i < na && j < nb) {
    const Slot x = a[i];
    const Slot y = b[j];
    out[k] = x;
    k += static_cast<std::size_t>(x == y);
    i += static_cast<std::size_t>(x <= y);
    j += static_cast<std::size_t>(y <= x);
  }
  return k;
}

const SlotMergeKernels& portable_slot_merge_kernels() {
  static constexpr SlotMergeKernels kPortable = {.name = "portable",
                                                 .merge_intersect = merge_intersect_portable};
  return kPortable;
}

const SlotMergeKernels& active_slot_merge_kernels() {
  static const SlotMergeKernels& chosen =
      widest_kernels(portable_slot_merge_kernels, VELQ_X86_KERNELS(avx2_slot_merge_kernels));
  return chosen;
}

}  // namespace slot_kernels

std::vector<Slot> intersect_slots(std::span<const Slot> a, std::span<const Slot> b) {
  const std::size_t na = a.size(), nb = b.size();
  if (na == 0 || nb == 0) return {};
  std::vector<Slot> out(std::min(na, nb) + slot_kernels::kSlotMergeSlack);
  std::size_t n;
  if (nb / na >= kGallopRatio) {
    n = gallop_intersect(a.data(), na, b.data(), nb, out.data());
  } else if (na / nb >= kGallopRatio) {
    n = gallop_intersect(b.data(), nb, a.data(), na, out.data());
  } else {
    n = slot_kernels::active_slot_merge_kernels().merge_intersect(a.data(), na, b.data(), nb,
                                                                   out.data());
  }
  out.resize(n);
  return out;
}

}  // namespace velq
