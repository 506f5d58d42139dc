// The JSON value model of metadata: null, bool, number, string, array,
// object. A number keeps one of three representations and never changes it:
// a non-negative integer is always unsigned (u64), a negative integer always
// signed (i64), anything else a finite double. Integer 1 and float 1.0 are
// different values.
//
// A value occupies 16 bytes, because one lives in memory for every stored
// property: strings of up to 14 bytes sit inline, longer strings and arrays
// own one exact-size heap block (no spare capacity), an object owns a
// JsonObject. A JsonObject keeps its members in one contiguous block sorted
// by key bytes, keys unique; lookups are binary searches. Its second flavour,
// the record, keeps members in the order given (duplicates included):
// decoders of fixed records see a text's members as written, and writers
// emit fields in declaration order.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace velq {

class JsonValue;
class JsonMember;

class JsonObject {
 public:
  JsonObject() = default;
  // Sorts members by key; of members with equal keys the last one stays.
  explicit JsonObject(std::vector<JsonMember> members);
  // Keeps the members in the order given, duplicates included.
  static JsonObject record(std::vector<JsonMember> members);
  // The same two, moving the members out of a caller's buffer (which the
  // sorted form may reorder).
  static JsonObject take_sorted(std::span<JsonMember> members);
  static JsonObject take_record(std::span<JsonMember> members);

  JsonObject(const JsonObject& other);
  JsonObject(JsonObject&& other) noexcept;
  JsonObject& operator=(const JsonObject& other);
  JsonObject& operator=(JsonObject&& other) noexcept;
  ~JsonObject();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const JsonMember* begin() const { return members_; }
  const JsonMember* end() const;
  std::span<const JsonMember> members() const;
  // Members whose values may be changed or moved out (keys stay fixed).
  std::span<JsonMember> members();
  // False for records (text or declaration order).
  bool is_sorted() const { return !record_; }

  // The member's value for `key`, or nullptr. For a record holding the key
  // twice, the first.
  const JsonValue* find(std::string_view key) const;

  // Equal key sets with equal values, whatever the member order.
  friend bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  JsonMember* members_ = nullptr;
  std::uint32_t size_ = 0;
  bool record_ = false;
};

class JsonValue {
 public:
  enum class Kind : std::uint8_t {
    kNull,
    kBool,
    kUnsigned,  // non-negative integer
    kSigned,    // negative integer
    kFloat,     // finite double
    kString,
    kArray,
    kObject,
  };

  JsonValue() noexcept { rep_.small.kind = Kind::kNull; rep_.small.length = 0; }
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : rep_(other.rep_) { other.rep_.small.kind = Kind::kNull; }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() { release(); }

  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool v);
  static JsonValue integer(std::uint64_t v);
  // A non-negative argument is kept unsigned: one representation per integer.
  static JsonValue integer(std::int64_t v);
  // Panics on NaN or infinity: the model holds finite numbers only.
  static JsonValue floating(double v);
  // The double that prints as the shortest text reading back to `v` as f32,
  // for writers whose floats are stored in single precision.
  static JsonValue floating_from_f32(float v);
  // Panics when longer than 4 GiB - 1 bytes.
  static JsonValue string(std::string_view s);
  static JsonValue array(std::vector<JsonValue> items);
  // Moves the items out of a caller's buffer.
  static JsonValue take_array(std::span<JsonValue> items);
  static JsonValue object(JsonObject object);
  // A sorted object (see JsonObject's constructor).
  static JsonValue object(std::vector<JsonMember> members);

  Kind kind() const { return rep_.small.kind; }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_number() const {
    return kind() == Kind::kUnsigned || kind() == Kind::kSigned || kind() == Kind::kFloat;
  }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  // Accessors for the matching kind only (checked by assertion).
  bool as_bool() const;
  std::uint64_t as_unsigned() const;
  std::int64_t as_signed() const;
  double as_float() const;
  std::string_view as_string() const;
  std::span<const JsonValue> as_array() const;
  std::span<JsonValue> as_array();
  const JsonObject& as_object() const;
  JsonObject& as_object();

  // Any number as a double: integers by conversion rounding to nearest.
  double as_f64_lossy() const;

  // The member's value for `key` when this is an object, else nullptr.
  const JsonValue* find(std::string_view key) const;

  // Nesting depth: 0 for scalars, 1 + the deepest item for arrays and
  // objects. Stops descending past `limit` (returning limit + 1), so a
  // pathologically deep value costs no more stack than the limit.
  std::size_t depth(std::size_t limit) const;

  // JSON equality: same kind and value; numbers only within one
  // representation (floats by IEEE comparison, so 0.0 == -0.0); arrays item
  // by item; objects by equal key sets with equal values.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  static constexpr std::uint8_t kHeapString = 0xFF;
  static constexpr std::size_t kInlineCapacity = 14;

  // Both layouts start with the kind byte (common initial sequence).
  struct Small {
    Kind kind;
    std::uint8_t length;
    char chars[kInlineCapacity];
  };
  struct Heap {
    Kind kind;
    std::uint8_t tag;  // strings: kHeapString (else the inline length)
    std::uint16_t unused;
    std::uint32_t size;  // bytes of a heap string, items of an array
    union {
      bool boolean;
      std::uint64_t unsigned_int;
      std::int64_t signed_int;
      double floating;
      char* chars;
      JsonValue* items;
      JsonObject* object;
    };
  };
  union Rep {
    Small small;
    Heap heap;
  };

  void release() noexcept;
  void copy_from(const JsonValue& other);

  Rep rep_;
};

// One object member. Binds as [key, value]: `for (const auto& [k, v] : obj)`.
// The key is fixed at construction, so handing out mutable members never
// breaks an object's key order.
class JsonMember {
 public:
  JsonMember() : name_(JsonValue::string({})) {}
  JsonMember(std::string_view key, JsonValue v) : name_(JsonValue::string(key)), value(std::move(v)) {}
  std::string_view key() const { return name_.as_string(); }

  template <std::size_t I>
  decltype(auto) get() const {
    if constexpr (I == 0) {
      return key();
    } else {
      return static_cast<const JsonValue&>(value);
    }
  }

  friend bool operator==(const JsonMember& a, const JsonMember& b) {
    return a.key() == b.key() && a.value == b.value;
  }

 private:
  JsonValue name_;  // a string

 public:
  JsonValue value;
};

// The accessors are hot (index builds, filter evaluation): defined inline.
inline bool JsonValue::as_bool() const {
  assert(is_bool());
  return rep_.heap.boolean;
}

inline std::uint64_t JsonValue::as_unsigned() const {
  assert(kind() == Kind::kUnsigned);
  return rep_.heap.unsigned_int;
}

inline std::int64_t JsonValue::as_signed() const {
  assert(kind() == Kind::kSigned);
  return rep_.heap.signed_int;
}

inline double JsonValue::as_float() const {
  assert(kind() == Kind::kFloat);
  return rep_.heap.floating;
}

inline std::string_view JsonValue::as_string() const {
  assert(is_string());
  if (rep_.heap.tag == kHeapString) return {rep_.heap.chars, rep_.heap.size};
  return {rep_.small.chars, rep_.small.length};
}

inline std::span<const JsonValue> JsonValue::as_array() const {
  assert(is_array());
  return {rep_.heap.items, rep_.heap.size};
}

inline std::span<JsonValue> JsonValue::as_array() {
  assert(is_array());
  return {rep_.heap.items, rep_.heap.size};
}

inline const JsonObject& JsonValue::as_object() const {
  assert(is_object());
  return *rep_.heap.object;
}

inline JsonObject& JsonValue::as_object() {
  assert(is_object());
  return *rep_.heap.object;
}

inline const JsonMember* JsonObject::end() const { return members_ + size_; }
inline std::span<const JsonMember> JsonObject::members() const { return {members_, size_}; }
inline std::span<JsonMember> JsonObject::members() { return {members_, size_}; }

static_assert(sizeof(JsonValue) == 16, "one value per stored property: keep it small");
static_assert(sizeof(JsonObject) == 16, "the properties of every record: keep it small");

}  // namespace velq

template <>
struct std::tuple_size<velq::JsonMember> : std::integral_constant<std::size_t, 2> {};
template <>
struct std::tuple_element<0, velq::JsonMember> {
  using type = std::string_view;
};
template <>
struct std::tuple_element<1, velq::JsonMember> {
  using type = const velq::JsonValue&;
};
