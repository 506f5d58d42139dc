#include "storage/metadata/filter.h"

#include <string>

namespace velq::filter {
namespace {

constexpr std::string_view kAnd = "$and";
constexpr std::string_view kOr = "$or";

enum class Op { kEq, kNe, kGt, kGte, kLt, kLte, kIn, kNin, kExists, kContains, kUnknown };

struct OpName {
  std::string_view name;
  Op op;
};

constexpr OpName kOps[] = {
    {"$eq", Op::kEq},    {"$ne", Op::kNe},   {"$gt", Op::kGt},
    {"$gte", Op::kGte},  {"$lt", Op::kLt},   {"$lte", Op::kLte},
    {"$in", Op::kIn},    {"$nin", Op::kNin}, {"$exists", Op::kExists},
    {"$contains", Op::kContains},
};

Op parse_op(std::string_view name) {
  for (const OpName& entry : kOps) {
    if (entry.name == name) return entry.op;
  }
  return Op::kUnknown;
}

// `op` is one of the four comparisons.
template <typename T>
bool ordered(Op op, const T& a, const T& b) {
  switch (op) {
    case Op::kGt: return a > b;
    case Op::kGte: return a >= b;
    case Op::kLt: return a < b;
    default: return a <= b;
  }
}

// "$gt" and friends: numbers compare as doubles (integers beyond 2^53 after
// rounding), strings byte-wise (string_view compares as unsigned bytes, a
// proper prefix first); any other pairing of types fails.
bool compare(const JsonValue& field, Op op, const JsonValue& operand) {
  if (field.is_number() && operand.is_number()) {
    return ordered(op, field.as_f64_lossy(), operand.as_f64_lossy());
  }
  if (field.is_string() && operand.is_string()) {
    return ordered(op, field.as_string(), operand.as_string());
  }
  return false;
}

bool any_equal(const JsonValue& array, const JsonValue& field) {
  for (const JsonValue& element : array.as_array()) {
    if (element == field) return true;
  }
  return false;
}

// "$contains": a byte substring of a string field; the empty operand always
// occurs. (string_view::find scans with memchr for the first byte.)
bool contains(const JsonValue& field, const JsonValue& operand) {
  if (!operand.is_string() || !field.is_string()) return false;
  return field.as_string().find(operand.as_string()) != std::string_view::npos;
}

// One operator entry against the field's value (null when absent).
bool operator_holds(std::string_view name, const JsonValue& operand, const JsonValue* field) {
  const Op op = parse_op(name);
  switch (op) {
    case Op::kEq:
      return field != nullptr && *field == operand;
    case Op::kNe:
      return field == nullptr || !(*field == operand);
    case Op::kGt:
    case Op::kGte:
    case Op::kLt:
    case Op::kLte:
      return field != nullptr && compare(*field, op, operand);
    case Op::kIn:
      return field != nullptr && operand.is_array() && any_equal(operand, *field);
    case Op::kNin:
      return operand.is_array() && (field == nullptr || !any_equal(operand, *field));
    case Op::kExists:
      return operand.is_bool() && operand.as_bool() == (field != nullptr);
    case Op::kContains:
      return field != nullptr && contains(*field, operand);
    case Op::kUnknown:
      break;
  }
  return false;
}

bool condition_holds(const JsonObject& properties, std::string_view path,
                     const JsonValue& condition) {
  const JsonValue* field = get_nested_field(properties, path);
  if (!condition.is_object()) return field != nullptr && *field == condition;
  for (const auto& [name, operand] : condition.as_object()) {
    if (!operator_holds(name, operand, field)) return false;
  }
  return true;
}

// "$and": every element must be a filter that holds; an empty list holds.
bool all_hold(const JsonObject& properties, const JsonValue& group) {
  if (!group.is_array()) return false;
  for (const JsonValue& element : group.as_array()) {
    if (!element.is_object() || !metadata_matches_filter(properties, element.as_object())) {
      return false;
    }
  }
  return true;
}

// "$or": some object element must hold; other elements are skipped.
bool any_holds(const JsonObject& properties, const JsonValue& group) {
  if (!group.is_array()) return false;
  for (const JsonValue& element : group.as_array()) {
    if (element.is_object() && metadata_matches_filter(properties, element.as_object())) {
      return true;
    }
  }
  return false;
}

}  // namespace

Status validate_filter_operators(const JsonObject& filter) {
  for (const auto& [key, value] : filter) {
    if (key == kAnd || key == kOr) {
      if (!value.is_array()) continue;
      for (const JsonValue& element : value.as_array()) {
        if (!element.is_object()) continue;
        VELQ_RETURN_IF_ERROR(validate_filter_operators(element.as_object()));
      }
    } else if (key.starts_with('$')) {
      return Error::invalid_argument("unknown top-level filter operator '" + std::string(key) + "'");
    } else if (value.is_object()) {
      for (const auto& [name, operand] : value.as_object()) {
        if (parse_op(name) == Op::kUnknown) {
          return Error::invalid_argument("unknown filter operator '" + std::string(name) + "' on field '" +
                       std::string(key) + "'");
        }
      }
    }
  }
  return ok_status();
}

bool metadata_matches_filter(const JsonObject& properties, const JsonObject& filter) {
  for (const auto& [key, value] : filter) {
    bool holds;
    if (key == kAnd) {
      holds = all_hold(properties, value);
    } else if (key == kOr) {
      holds = any_holds(properties, value);
    } else {
      holds = condition_holds(properties, key, value);
    }
    if (!holds) return false;
  }
  return true;
}

const JsonValue* get_nested_field(const JsonObject& object, std::string_view path) {
  const JsonObject* current = &object;
  for (;;) {
    const std::size_t dot = path.find('.');
    const JsonValue* value = current->find(path.substr(0, dot));
    if (value == nullptr || dot == std::string_view::npos) return value;
    if (!value->is_object()) return nullptr;
    current = &value->as_object();
    path.remove_prefix(dot + 1);
  }
}

}  // namespace velq::filter
