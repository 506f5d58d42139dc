// Owned references to Python objects. Every function here needs the
// interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace velq::py {

// Raised (as a C++ exception) when a Python exception is already set; the
// method boundary returns NULL and lets it propagate.
struct PyErrorSet {};

// One strong reference, released when the owner goes.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; nullptr means a Python error is set.
  static PyRef steal(PyObject* object) {
    if (object == nullptr) throw PyErrorSet{};
    return PyRef(object);
  }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Throws PyErrorSet when a C API call reported failure with -1.
inline void check(int status) {
  if (status < 0) throw PyErrorSet{};
}

}  // namespace velq::py
