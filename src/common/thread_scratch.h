// Per-thread scratch buffers for hot paths that must not allocate per call.
// Each call site names its own Tag type, so two sites never share a buffer
// and a buffer is borrowed only until the next call from the same site on
// the same thread. Buffers grow on demand and are never shrunk.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace velq {

template <typename Tag, typename T = float>
std::span<T> thread_scratch(std::size_t n) {
  thread_local std::vector<T> buf;
  if (buf.size() < n) buf.resize(n);
  return {buf.data(), n};
}

}  // namespace velq
