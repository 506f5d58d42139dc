// The JSON value model of metadata: null, bool, number, string, array,
// object. A number keeps one of three representations and never changes it:
// a non-negative integer is always unsigned (u64), a negative integer always
// signed (i64), anything else a finite double. Integer 1 and float 1.0 are
// different values.
//
// A value occupies 16 bytes, because one lives in memory for every stored
// property: strings of up to 14 bytes sit inline, longer strings, arrays and
// objects own one exact-size heap block (no spare capacity, no tree nodes).
// Objects keep their members in a contiguous array sorted by key bytes, with
// unique keys; lookups are binary searches. A second object flavour, the
// record, keeps members in the order given (duplicates included): decoders of
// fixed records see a text's members as written, and writers emit fields in
// declaration order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace velq {

class JsonValue;
struct JsonMember;

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
  // Sorts members by key; of members with equal keys the last one stays.
  static JsonValue object(std::vector<JsonMember> members);
  static JsonValue empty_object();
  // Keeps the members in the order given, duplicates included.
  static JsonValue record(std::vector<JsonMember> members);

  Kind kind() const { return rep_.small.kind; }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_number() const {
    return kind() == Kind::kUnsigned || kind() == Kind::kSigned || kind() == Kind::kFloat;
  }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }
  // True for objects whose members are sorted with unique keys (not records).
  bool is_sorted_object() const { return is_object() && (rep_.heap.tag & kRecordFlag) == 0; }

  // Accessors for the matching kind only (checked by assertion).
  bool as_bool() const;
  std::uint64_t as_unsigned() const;
  std::int64_t as_signed() const;
  double as_float() const;
  std::string_view as_string() const;
  std::span<const JsonValue> items() const;
  std::span<const JsonMember> members() const;

  // Any number as a double: integers by conversion rounding to nearest.
  double number_as_f64() const;

  // The member's value for `key`, or nullptr (also for non-objects). For a
  // record holding the key twice, the first.
  const JsonValue* find(std::string_view key) const;

  // Nesting depth: 0 for scalars, 1 + the deepest item for arrays and objects.
  std::size_t depth() const;

  // JSON equality: same kind and value; numbers only within one
  // representation (floats by IEEE comparison, so 0.0 == -0.0); arrays item
  // by item; objects by equal key sets with equal values.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  static constexpr std::uint8_t kRecordFlag = 1;
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
    std::uint8_t tag;  // strings: kHeapString (inline length otherwise); objects: kRecordFlag
    std::uint16_t unused;
    std::uint32_t size;  // bytes of a heap string, items, members
    union {
      bool boolean;
      std::uint64_t unsigned_int;
      std::int64_t signed_int;
      double floating;
      char* chars;
      JsonValue* items;
      JsonMember* members;
    };
  };
  union Rep {
    Small small;
    Heap heap;
  };

  static std::uint32_t checked_size(std::size_t n, const char* what);
  static JsonValue make_object(std::vector<JsonMember> members, std::uint8_t flags);
  void release() noexcept;
  void copy_from(const JsonValue& other);

  Rep rep_;
};

struct JsonMember {
  JsonValue name;  // always a string
  JsonValue value;

  JsonMember() = default;
  JsonMember(std::string_view key, JsonValue v) : name(JsonValue::string(key)), value(std::move(v)) {}
  std::string_view key() const { return name.as_string(); }
  friend bool operator==(const JsonMember& a, const JsonMember& b) {
    return a.key() == b.key() && a.value == b.value;
  }
};

static_assert(sizeof(JsonValue) == 16, "one value per stored property: keep it small");

}  // namespace velq
