#include "common/json_value.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "common/panic.h"

namespace velq {
namespace {

std::uint32_t checked_size(std::size_t n, const char* what) {
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    panic(std::string("JSON ") + what + " too large: " + std::to_string(n) + " entries");
  }
  return static_cast<std::uint32_t>(n);
}

template <typename T>
T* allocate_block(std::size_t n) {
  return std::allocator<T>().allocate(n);
}

template <typename T>
void free_block(T* p, std::size_t n) noexcept {
  if (p == nullptr) return;
  std::destroy_n(p, n);
  std::allocator<T>().deallocate(p, n);
}

// A new block holding copies of src[0, n) (nullptr when n is 0); nothing
// leaks if a copy throws.
template <typename T>
T* copy_block(const T* src, std::size_t n) {
  if (n == 0) return nullptr;
  T* block = allocate_block<T>(n);
  try {
    std::uninitialized_copy_n(src, n, block);
  } catch (...) {
    std::allocator<T>().deallocate(block, n);
    throw;
  }
  return block;
}

// An exact-size block taking over the elements of `v` (nullptr when empty).
template <typename T>
T* move_into_block(std::span<T> v) {
  if (v.empty()) return nullptr;
  T* block = allocate_block<T>(v.size());
  std::uninitialized_move(v.begin(), v.end(), block);  // moves of values never throw
  return block;
}

}  // namespace

// ---- JsonObject ----

JsonObject::JsonObject(std::vector<JsonMember> members) : JsonObject(take_sorted(members)) {}

JsonObject JsonObject::record(std::vector<JsonMember> members) { return take_record(members); }

JsonObject JsonObject::take_sorted(std::span<JsonMember> members) {
  const auto key_less = [](const JsonMember& a, const JsonMember& b) { return a.key() < b.key(); };
  // Text written by this system is already in strictly ascending key order.
  if (std::adjacent_find(members.begin(), members.end(), std::not_fn(key_less)) != members.end()) {
    std::stable_sort(members.begin(), members.end(), key_less);
    // Keep the last of each run of equal keys, as a later assignment would.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i + 1].key() == members[i].key()) continue;
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members = members.first(kept);
  }
  JsonObject out;
  out.size_ = checked_size(members.size(), "object");
  out.members_ = move_into_block(members);
  return out;
}

JsonObject JsonObject::take_record(std::span<JsonMember> members) {
  JsonObject out;
  out.size_ = checked_size(members.size(), "object");
  out.members_ = move_into_block(members);
  out.record_ = true;
  return out;
}

JsonObject::JsonObject(const JsonObject& other)
    : members_(copy_block(other.members_, other.size_)), size_(other.size_), record_(other.record_) {}

JsonObject::JsonObject(JsonObject&& other) noexcept
    : members_(std::exchange(other.members_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      record_(std::exchange(other.record_, false)) {}

JsonObject& JsonObject::operator=(const JsonObject& other) {
  if (this != &other) *this = JsonObject(other);
  return *this;
}

JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
  if (this != &other) {
    free_block(members_, size_);
    members_ = std::exchange(other.members_, nullptr);
    size_ = std::exchange(other.size_, 0);
    record_ = std::exchange(other.record_, false);
  }
  return *this;
}

JsonObject::~JsonObject() { free_block(members_, size_); }

const JsonValue* JsonObject::find(std::string_view key) const {
  if (is_sorted()) {
    const JsonMember* it = std::lower_bound(
        begin(), end(), key, [](const JsonMember& m, std::string_view k) { return m.key() < k; });
    return it != end() && it->key() == key ? &it->value : nullptr;
  }
  for (const JsonMember& m : *this) {
    if (m.key() == key) return &m.value;
  }
  return nullptr;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  if (a.size() != b.size()) return false;
  if (a.is_sorted() && b.is_sorted()) return std::ranges::equal(a.members(), b.members());
  for (const JsonMember& m : a) {
    const JsonValue* other = b.find(m.key());
    if (other == nullptr || !(*other == m.value)) return false;
  }
  return true;
}

// ---- JsonValue ----

JsonValue JsonValue::boolean(bool v) {
  JsonValue out;
  out.rep_.heap.kind = Kind::kBool;
  out.rep_.heap.boolean = v;
  return out;
}

JsonValue JsonValue::integer(std::uint64_t v) {
  JsonValue out;
  out.rep_.heap.kind = Kind::kUnsigned;
  out.rep_.heap.unsigned_int = v;
  return out;
}

JsonValue JsonValue::integer(std::int64_t v) {
  if (v >= 0) return integer(static_cast<std::uint64_t>(v));
  JsonValue out;
  out.rep_.heap.kind = Kind::kSigned;
  out.rep_.heap.signed_int = v;
  return out;
}

JsonValue JsonValue::floating(double v) {
  if (!std::isfinite(v)) panic("JSON numbers must be finite");
  JsonValue out;
  out.rep_.heap.kind = Kind::kFloat;
  out.rep_.heap.floating = v;
  return out;
}

JsonValue JsonValue::floating_from_f32(float v) {
  char buf[64];
  const auto printed = std::to_chars(buf, buf + sizeof buf, v);
  double wide = 0.0;
  std::from_chars(buf, printed.ptr, wide);
  return floating(wide);
}

JsonValue JsonValue::string(std::string_view s) {
  JsonValue out;
  if (s.size() <= kInlineCapacity) {
    out.rep_.small.kind = Kind::kString;
    out.rep_.small.length = static_cast<std::uint8_t>(s.size());
    if (!s.empty()) std::memcpy(out.rep_.small.chars, s.data(), s.size());
    return out;
  }
  const std::uint32_t size = checked_size(s.size(), "string");
  out.rep_.heap.chars = copy_block(s.data(), size);
  out.rep_.heap.kind = Kind::kString;
  out.rep_.heap.tag = kHeapString;
  out.rep_.heap.size = size;
  return out;
}

JsonValue JsonValue::array(std::vector<JsonValue> items) { return take_array(items); }

JsonValue JsonValue::take_array(std::span<JsonValue> items) {
  JsonValue out;
  const std::uint32_t size = checked_size(items.size(), "array");
  out.rep_.heap.items = move_into_block(items);
  out.rep_.heap.kind = Kind::kArray;
  out.rep_.heap.size = size;
  return out;
}

JsonValue JsonValue::object(JsonObject object) {
  JsonValue out;
  out.rep_.heap.object = new JsonObject(std::move(object));
  out.rep_.heap.kind = Kind::kObject;
  return out;
}

JsonValue JsonValue::object(std::vector<JsonMember> members) {
  return object(JsonObject(std::move(members)));
}

void JsonValue::release() noexcept {
  switch (kind()) {
    case Kind::kString:
      if (rep_.heap.tag == kHeapString) std::allocator<char>().deallocate(rep_.heap.chars, rep_.heap.size);
      break;
    case Kind::kArray:
      free_block(rep_.heap.items, rep_.heap.size);
      break;
    case Kind::kObject:
      delete rep_.heap.object;
      break;
    default:
      break;
  }
  rep_.small.kind = Kind::kNull;
}

void JsonValue::copy_from(const JsonValue& other) {
  // Built aside and installed last: if a copy throws, *this stays null.
  rep_.small.kind = Kind::kNull;
  Rep copy = other.rep_;
  switch (other.kind()) {
    case Kind::kString:
      if (other.rep_.heap.tag == kHeapString) {
        copy.heap.chars = copy_block(other.rep_.heap.chars, other.rep_.heap.size);
      }
      break;
    case Kind::kArray:
      copy.heap.items = copy_block(other.rep_.heap.items, other.rep_.heap.size);
      break;
    case Kind::kObject:
      copy.heap.object = new JsonObject(*other.rep_.heap.object);
      break;
    default:
      break;
  }
  rep_ = copy;
}

JsonValue::JsonValue(const JsonValue& other) { copy_from(other); }

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    release();
    rep_ = other.rep_;
    other.rep_.small.kind = Kind::kNull;
  }
  return *this;
}

double JsonValue::as_f64_lossy() const {
  switch (kind()) {
    case Kind::kUnsigned:
      return static_cast<double>(rep_.heap.unsigned_int);
    case Kind::kSigned:
      return static_cast<double>(rep_.heap.signed_int);
    default:
      return as_float();
  }
}

const JsonValue* JsonValue::find(std::string_view key) const {
  return is_object() ? as_object().find(key) : nullptr;
}

std::size_t JsonValue::depth(std::size_t limit) const {
  if (!is_array() && !is_object()) return 0;
  if (limit == 0) return 1;
  std::size_t deepest = 0;
  if (is_array()) {
    for (const JsonValue& item : as_array()) deepest = std::max(deepest, item.depth(limit - 1));
  } else {
    for (const JsonMember& m : as_object()) deepest = std::max(deepest, m.value.depth(limit - 1));
  }
  return deepest + 1;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  using Kind = JsonValue::Kind;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::kNull:
      return true;
    case Kind::kBool:
      return a.as_bool() == b.as_bool();
    case Kind::kUnsigned:
      return a.as_unsigned() == b.as_unsigned();
    case Kind::kSigned:
      return a.as_signed() == b.as_signed();
    case Kind::kFloat:
      return a.as_float() == b.as_float();
    case Kind::kString:
      return a.as_string() == b.as_string();
    case Kind::kArray:
      return std::ranges::equal(a.as_array(), b.as_array());
    case Kind::kObject:
      return a.as_object() == b.as_object();
  }
  return false;
}

}  // namespace velq
