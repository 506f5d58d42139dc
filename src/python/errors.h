// Failures inside the binding layer travel as C++ exceptions and become
// Python exceptions at one place: the catch-all of every function the
// interpreter calls (`guarded`). The mapping:
//   PyErrorSet          the Python exception already set
//   PyFail              its exception type with its message
//   LockPoisoned        RuntimeError with the poisoned-lock message
//   Panic, other C++    PanicException (derived from BaseException)
//   std::bad_alloc      MemoryError
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "common/result.h"
#include "python/py_ref.h"

namespace velq::py {

// A refusal with a Python exception type (a built-in one: no reference is
// held) and a message. Carries no Python object, so it may be thrown while
// the interpreter lock is given up.
struct PyFail {
  PyObject* type;
  std::string message;
};

[[noreturn]] inline void throw_value_error(std::string message) {
  throw PyFail{PyExc_ValueError, std::move(message)};
}
[[noreturn]] inline void throw_type_error(std::string message) {
  throw PyFail{PyExc_TypeError, std::move(message)};
}
// Engine errors are shown as RuntimeError with their text unchanged.
[[noreturn]] inline void throw_engine_error(const Error& error) {
  throw PyFail{PyExc_RuntimeError, error.message()};
}

// The value of an engine result, or its error thrown as RuntimeError.
template <typename T>
T unwrap(Result<T> result) {
  if (!result.ok()) throw_engine_error(result.error());
  return std::move(result).value();
}
inline void unwrap(Status status) {
  if (!status.ok()) throw_engine_error(status.error());
}

// Creates the panic exception class; called once from module init.
void create_panic_exception();

// Sets the Python exception for the C++ exception being handled. Call only
// inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs f() and returns its new reference; any exception becomes a Python
// exception and the result NULL.
template <typename F>
PyObject* guarded(F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Quoted and escaped form of a text for messages: "a\"b" for a"b.
std::string debug_quoted(std::string_view text);

}  // namespace velq::py
