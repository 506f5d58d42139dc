// Argument binding: one table per method (its qualified name and parameter
// names), positional and keyword arguments matched against it with the
// interpreter's usual TypeErrors, then each value converted to its declared
// type. A conversion's TypeError is prefixed "argument '{name}': ";
// OverflowError passes through unchanged.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.h"

namespace velq::py {

inline constexpr std::size_t kMaxParams = 12;

struct Signature {
  const char* qualified_name;  // "Database.insert"
  std::initializer_list<const char*> params;
  std::size_t required;  // the first `required` params have no default
};

// Borrowed references to the bound values; nullptr where a parameter was not
// given (its default applies). Valid while the call's arguments are.
class BoundArgs {
 public:
  BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The given value, or nullptr; None counts as given.
  PyObject* raw(std::size_t i) const { return values_[i]; }
  // The value, or nullptr when absent or None.
  PyObject* present(std::size_t i) const {
    return values_[i] == Py_None ? nullptr : values_[i];
  }

  std::string str(std::size_t i) const;
  bool boolean(std::size_t i, bool fallback) const;
  std::int64_t i64(std::size_t i, std::int64_t fallback) const;
  std::optional<std::int64_t> opt_i64(std::size_t i) const;
  std::uint64_t u64(std::size_t i, std::uint64_t fallback) const;
  std::optional<std::uint64_t> opt_u64(std::size_t i) const;
  std::optional<double> opt_f64(std::size_t i) const;
  std::optional<std::string> opt_str(std::size_t i) const;
  std::optional<bool> opt_bool(std::size_t i) const;
  // A dict (or subclass), or nullptr for None / absent.
  PyObject* opt_dict(std::size_t i) const;
  std::vector<std::string> str_list(std::size_t i) const;
  std::optional<std::vector<std::string>> opt_str_list(std::size_t i) const;

  // Runs a conversion of parameter i, prefixing its TypeError with the name.
  template <typename F>
  decltype(auto) convert(std::size_t i, F&& f) const;

 private:
  [[noreturn]] void rethrow_prefixed(std::size_t i) const;

  const Signature& sig_;
  std::array<PyObject*, kMaxParams> values_{};
};

// Scalar conversions; each throws PyErrorSet with a TypeError or
// OverflowError set.
std::string to_string(PyObject* object);
bool to_bool(PyObject* object);
std::int64_t to_i64(PyObject* object);
std::uint64_t to_u64(PyObject* object);
double to_f64(PyObject* object);
std::vector<std::string> to_str_list(PyObject* object);
// Refusal "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_cannot_convert(PyObject* object, std::string_view target);
// The object's type name without its module ("ndarray").
std::string type_name(PyObject* object);

template <typename F>
decltype(auto) BoundArgs::convert(std::size_t i, F&& f) const {
  try {
    return f(values_[i]);
  } catch (const PyErrorSet&) {
    rethrow_prefixed(i);
  }
}

}  // namespace velq::py

namespace velq::py {

// Unicode lower case, as str.lower() gives it.
std::string unicode_lower(const std::string& text);

}  // namespace velq::py
