// Little-endian encoding and bounds-checked decoding. Every file decoder reads
// through ByteReader: a read past the end fails instead of touching memory,
// and `fits` lets a decoder check a stored count against the bytes that
// remain before reserving anything.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velq {

static_assert(std::endian::native == std::endian::little,
              "file formats are little-endian and decoded by memcpy");

class ByteWriter {
 public:
  // Appends to `out`, which must outlive the writer.
  explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(&out) {}

  void u8(std::uint8_t v) { out_->push_back(v); }
  void u16(std::uint16_t v) { put(&v, sizeof v); }
  void u32(std::uint32_t v) { put(&v, sizeof v); }
  void u64(std::uint64_t v) { put(&v, sizeof v); }
  void f32(float v) { put(&v, sizeof v); }
  void f64(double v) { put(&v, sizeof v); }
  void bytes(std::span<const std::uint8_t> b) { put(b.data(), b.size()); }
  void bytes(std::string_view s) { put(s.data(), s.size()); }

  std::vector<std::uint8_t>& buffer() { return *out_; }

 private:
  void put(const void* p, std::size_t n) {
    if (n == 0) return;
    const std::size_t old = out_->size();
    out_->resize(old + n);
    std::memcpy(out_->data() + old, p, n);
  }

  std::vector<std::uint8_t>* out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  // True when `count` items of `item_size` bytes each fit in what remains,
  // computed without overflow.
  bool fits(std::uint64_t count, std::size_t item_size) const {
    return item_size == 0 || count <= remaining() / item_size;
  }

  bool u8(std::uint8_t& v) { return get(&v, sizeof v); }
  bool u16(std::uint16_t& v) { return get(&v, sizeof v); }
  bool u32(std::uint32_t& v) { return get(&v, sizeof v); }
  bool u64(std::uint64_t& v) { return get(&v, sizeof v); }
  bool f32(float& v) { return get(&v, sizeof v); }
  bool f64(double& v) { return get(&v, sizeof v); }

  // A view of the next n bytes, advancing past them; false if fewer remain.
  bool take(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > remaining()) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

 private:
  bool get(void* p, std::size_t n) {
    if (n > remaining()) return false;
    std::memcpy(p, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace velq
