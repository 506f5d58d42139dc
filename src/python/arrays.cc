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

// Copies `cols` elements starting at `row`, `col_stride` bytes apart, into
// out[0..cols). A packed row of the target type is one memcpy.
template <typename Source, typename Target>
void copy_row(const char* row, npy_intp col_stride, std::size_t cols, Target* out) {
  if constexpr (std::is_same_v<Source, Target>) {
    if (col_stride == static_cast<npy_intp>(sizeof(Source))) {
      std::memcpy(out, row, cols * sizeof(Target));
      return;
    }
  }
  for (std::size_t j = 0; j < cols; ++j) {
    Source value;
    std::memcpy(&value, row + static_cast<npy_intp>(j) * col_stride, sizeof value);
    out[j] = convert_element<Target>(value);
  }
}

// Calls fill(i, copy) for each row i of a 1-D (one row) or 2-D float32 or
// float64 array with any strides, where copy(out) writes the row's values
// into out[0..cols) as Target. False when the array is not such an array.
template <typename Target, typename Fill>
bool for_each_row(PyObject* object, int ndim, std::size_t& rows, std::size_t& cols, Fill&& fill) {
  for (const int type_num : {NPY_FLOAT32, NPY_FLOAT64}) {
    PyArrayObject* array = as_float_array(object, ndim, type_num);
    if (array == nullptr) continue;
    rows = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(array, 0)) : 1;
    cols = static_cast<std::size_t>(PyArray_DIM(array, ndim - 1));
    const auto* base = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp* strides = PyArray_STRIDES(array);
    const npy_intp row_stride = ndim == 2 ? strides[0] : 0;
    const npy_intp col_stride = strides[ndim - 1];
    for (std::size_t i = 0; i < rows; ++i) {
      const char* row = base + static_cast<npy_intp>(i) * row_stride;
      fill(i, [&](Target* out) {
        if (type_num == NPY_FLOAT32) {
          copy_row<float>(row, col_stride, cols, out);
        } else {
          copy_row<double>(row, col_stride, cols, out);
        }
      });
    }
    return true;
  }
  return false;
}

}  // namespace

void import_numpy() {
  if (_import_array() < 0) throw PyErrorSet{};
}

bool is_numpy_bool(PyObject* object) { return PyArray_IsScalar(object, Bool); }

std::vector<double> vector_from_array(PyObject* object) {
  std::vector<double> out;
  std::size_t rows = 0;
  std::size_t cols = 0;
  const bool taken = for_each_row<double>(object, 1, rows, cols, [&](std::size_t, auto copy) {
    out.resize(cols);
    copy(out.data());
  });
  if (!taken) throw_cannot_convert(object, "PyArray<T, D>");
  return out;
}

namespace {

template <typename T>
std::optional<Matrix<T>> matrix_from_array(PyObject* object) {
  Matrix<T> m;
  const bool taken = for_each_row<T>(object, 2, m.rows, m.cols, [&](std::size_t i, auto copy) {
    if (i == 0) m.values.resize(m.rows * m.cols);  // the array holds this many elements already
    copy(m.values.data() + i * m.cols);
  });
  if (!taken) return std::nullopt;
  return m;
}

}  // namespace

std::optional<Matrix<double>> matrix_f64_from_array(PyObject* object) {
  return matrix_from_array<double>(object);
}

std::optional<Matrix<float>> matrix_f32_from_array(PyObject* object) {
  return matrix_from_array<float>(object);
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
