// A whole file mapped read-only. The mapping outlives the descriptor, which
// is closed as soon as the map exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/result.h"

namespace velq {

class ReadOnlyMap {
 public:
  // Maps the file at `path`. An empty file gives an empty map (the system
  // refuses zero-length mappings, so nothing is mapped then).
  static Result<ReadOnlyMap> open(const std::string& path);

  ReadOnlyMap(ReadOnlyMap&& other) noexcept;
  ReadOnlyMap& operator=(ReadOnlyMap&& other) noexcept;
  ReadOnlyMap(const ReadOnlyMap&) = delete;
  ReadOnlyMap& operator=(const ReadOnlyMap&) = delete;
  ~ReadOnlyMap();

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(data_), size_};
  }

 private:
  ReadOnlyMap(void* data, std::size_t size) : data_(data), size_(size) {}

  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velq
