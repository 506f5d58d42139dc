#include "python/arrays.h"

#define PY_ARRAY_UNIQUE_SYMBOL velq_numpy_api
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <string>

#include "python/args.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace velq::py {
namespace {

// The smallest magnitude that rounds to infinity as a float32:
// FLT_MAX plus half of its last place.
constexpr double kF32Overflow = 0x1.ffffffp+127;

// Nearest float32 with out-of-range values made infinite explicitly (a plain
// conversion of them is undefined).
float narrow_to_f32(double v) {
  if (v >= kF32Overflow) return std::numeric_limits<float>::infinity();
  if (v <= -kF32Overflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);  // NaN stays NaN
}

template <typename Target, typename Source>
Target convert_element(Source value) {
  if constexpr (std::is_same_v<Source, double> && std::is_same_v<Target, float>) {
    return narrow_to_f32(value);
  } else {
    return static_cast<Target>(value);
  }
}

// The array when it has `ndim` dimensions, native byte order and the dtype
// `type_num`; else nullptr.
PyArrayObject* as_float_array(PyObject* object, int ndim, int type_num) {
  if (!PyArray_Check(object)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim || PyArray_TYPE(array) != type_num ||
      !PyArray_ISNOTSWAPPED(array)) {
    return nullptr;
  }
  return array;
}

// Copies element (i, j) of a 1-D or 2-D array, any strides, into out[i*cols + j].
template <typename Source, typename Target>
void copy_strided(PyArrayObject* array, std::size_t rows, std::size_t cols, Target* out) {
  const auto* base = static_cast<const char*>(PyArray_DATA(array));
  const npy_intp* strides = PyArray_STRIDES(array);
  const npy_intp row_stride = PyArray_NDIM(array) == 2 ? strides[0] : 0;
  const npy_intp col_stride = strides[PyArray_NDIM(array) - 1];
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<npy_intp>(i) * row_stride;
    for (std::size_t j = 0; j < cols; ++j) {
      Source value;
      std::memcpy(&value, row + static_cast<npy_intp>(j) * col_stride, sizeof value);
      out[i * cols + j] = convert_element<Target>(value);
    }
  }
}

template <typename Target>
std::optional<Matrix<Target>> matrix_from_array(PyObject* object) {
  for (const int type_num : {NPY_FLOAT32, NPY_FLOAT64}) {
    PyArrayObject* array = as_float_array(object, 2, type_num);
    if (array == nullptr) continue;
    Matrix<Target> m;
    m.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    m.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    m.values.resize(m.rows * m.cols);  // the array holds this many elements already
    if (type_num == NPY_FLOAT32) {
      copy_strided<float>(array, m.rows, m.cols, m.values.data());
    } else {
      copy_strided<double>(array, m.rows, m.cols, m.values.data());
    }
    return m;
  }
  return std::nullopt;
}

}  // namespace

void import_numpy() {
  if (_import_array() < 0) throw PyErrorSet{};
}

bool is_numpy_bool(PyObject* object) { return PyArray_IsScalar(object, Bool); }

std::vector<double> vector_from_array(PyObject* object) {
  for (const int type_num : {NPY_FLOAT32, NPY_FLOAT64}) {
    PyArrayObject* array = as_float_array(object, 1, type_num);
    if (array == nullptr) continue;
    std::vector<double> out(static_cast<std::size_t>(PyArray_DIM(array, 0)));
    if (type_num == NPY_FLOAT32) {
      copy_strided<float>(array, 1, out.size(), out.data());
    } else {
      copy_strided<double>(array, 1, out.size(), out.data());
    }
    return out;
  }
  throw_cannot_convert(object, "PyArray<T, D>");
}

std::optional<Matrix<float>> matrix_f32_from_array(PyObject* object) {
  return matrix_from_array<float>(object);
}

std::optional<Matrix<double>> matrix_f64_from_array(PyObject* object) {
  return matrix_from_array<double>(object);
}

void check_finite(std::span<const double> values, std::string_view name) {
  for (const double v : values) {
    if (!std::isfinite(narrow_to_f32(v))) {
      throw_value_error(std::string(name) + " contains non-finite values (NaN or Inf)");
    }
  }
}

bool all_finite(std::span<const float> values) {
  for (const float v : values) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if ((bits & 0x7FFFFFFFu) > 0x7F7FFFFFu) return false;
  }
  return true;
}

}  // namespace velq::py
