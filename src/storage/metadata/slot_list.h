// An ascending list of distinct slots, as the secondary indexes keep one per
// value. Most values of a unique-ish property hold one or two slots, so up
// to two live inline and the list costs 16 bytes with no allocation.
#pragma once

#include <cstdint>
#include <span>

namespace velq {

class SlotList {
 public:
  SlotList() = default;
  SlotList(SlotList&& other) noexcept;
  SlotList& operator=(SlotList&& other) noexcept;
  SlotList(const SlotList&) = delete;
  SlotList& operator=(const SlotList&) = delete;
  ~SlotList();

  std::span<const std::uint32_t> view() const { return {data(), size_}; }
  bool empty() const { return size_ == 0; }
  std::uint32_t size() const { return size_; }

  // Adds `slot` at its place; nothing when present.
  void insert(std::uint32_t slot);
  // Removes `slot` when present.
  void erase(std::uint32_t slot);

 private:
  static constexpr std::uint32_t kInline = 2;

  const std::uint32_t* data() const { return capacity_ > kInline ? heap_ : inline_; }
  std::uint32_t* data() { return capacity_ > kInline ? heap_ : inline_; }
  void grow();

  union {
    std::uint32_t inline_[kInline];
    std::uint32_t* heap_;
  };
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
};

static_assert(sizeof(SlotList) == 16);

}  // namespace velq
