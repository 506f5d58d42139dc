#include "quantizer/huge_page_allocator.h"

#include <sys/mman.h>

#include <cstdlib>

namespace velq::huge_pages {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Whole huge pages for large requests, so the hint covers every byte.
std::size_t rounded(std::size_t bytes) {
  return bytes < kHugePage ? bytes : (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* allocate(std::size_t bytes) {
  const std::size_t size = rounded(bytes == 0 ? 1 : bytes);
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

void release(void* p) noexcept { std::free(p); }

}  // namespace velq::huge_pages
