// An allocator for large buffers that are scanned from end to end: blocks of
// 2 MiB or more are aligned to 2 MiB and offered to the kernel as huge pages
// (a hint; it may decline). A scan over tens of megabytes then walks a few
// dozen pages instead of thousands, and the processor's prefetchers, which
// stop at 4 KiB page borders, lose fewer starts. Smaller blocks come from the
// ordinary heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace velq {

namespace huge_pages {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Returns at least `bytes` bytes aligned to 64; throws std::bad_alloc.
inline void* allocate(std::size_t bytes) {
  // Whole huge pages for large requests, so the hint covers every byte.
  const std::size_t asked = bytes == 0 ? 1 : bytes;
  const std::size_t size =
      asked < kHugePage ? asked : (asked + kHugePage - 1) / kHugePage * kHugePage;
  const std::size_t align = size < kHugePage ? 64 : kHugePage;
  // aligned_alloc wants a multiple of the alignment.
  void* p = std::aligned_alloc(align, (size + align - 1) / align * align);
  if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Only a hint: where huge pages are off the buffer keeps ordinary pages.
  if (align == kHugePage) static_cast<void>(::madvise(p, size, MADV_HUGEPAGE));
#endif
  return p;
}

inline void release(void* p) noexcept { std::free(p); }

}  // namespace huge_pages

template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(huge_pages::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t /*n*/) noexcept { huge_pages::release(p); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace velq
