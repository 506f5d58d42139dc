#include "storage/metadata/slot_list.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace velq {

SlotList::SlotList(SlotList&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
  std::memcpy(inline_, other.inline_, sizeof inline_);  // the inline slots or the heap pointer
  other.size_ = 0;
  other.capacity_ = kInline;
}

SlotList& SlotList::operator=(SlotList&& other) noexcept {
  if (this != &other) {
    this->~SlotList();
    new (this) SlotList(std::move(other));
  }
  return *this;
}

SlotList::~SlotList() {
  if (capacity_ > kInline) delete[] heap_;
}

void SlotList::grow() {
  const std::uint32_t capacity = capacity_ * 2;
  auto* bigger = new std::uint32_t[capacity];
  std::copy_n(data(), size_, bigger);
  if (capacity_ > kInline) delete[] heap_;
  heap_ = bigger;
  capacity_ = capacity;
}

void SlotList::insert(std::uint32_t slot) {
  std::uint32_t* begin = data();
  std::uint32_t* pos = begin + size_;
  // Bulk builds and new slots arrive in ascending order: append without a search.
  if (size_ > 0 && begin[size_ - 1] >= slot) {
    pos = std::lower_bound(begin, begin + size_, slot);
    if (*pos == slot) return;
  }
  const auto index = static_cast<std::size_t>(pos - begin);
  if (size_ == capacity_) grow();
  std::uint32_t* slots = data();
  std::copy_backward(slots + index, slots + size_, slots + size_ + 1);
  slots[index] = slot;
  ++size_;
}

void SlotList::erase(std::uint32_t slot) {
  std::uint32_t* begin = data();
  std::uint32_t* end = begin + size_;
  std::uint32_t* pos = std::lower_bound(begin, end, slot);
  if (pos == end || *pos != slot) return;
  std::copy(pos + 1, end, pos);
  --size_;
}

}  // namespace velq
