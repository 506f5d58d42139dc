// NumPy intake. The only file that includes NumPy's headers is arrays.cc.
// Arrays of dtype float32 or float64 with any strides are copied, in index
// order, into owned buffers while the interpreter lock is held (a packed row
// of the target type in one memcpy).
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace velq::py {

// Loads NumPy's C API; called once from module init.
void import_numpy();

bool is_numpy_bool(PyObject* object);

// A 1-D float32 or float64 array as f64 values (float32 widened exactly).
// Anything else: TypeError "'{type}' object cannot be converted to
// 'PyArray<T, D>'" (thrown as PyErrorSet).
std::vector<double> vector_from_array(PyObject* object);

// A 2-D array, row-major.
template <typename T>
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<T> values;

  std::span<const T> row(std::size_t r) const { return {values.data() + r * cols, cols}; }
};

// A 2-D float32 or float64 array as f64 values; nullopt for anything else.
std::optional<Matrix<double>> matrix_f64_from_array(PyObject* object);

// A 2-D float32 or float64 array as f32 values (float64 narrowed to the
// nearest float32), ready to hand to the engine without a further copy;
// nullopt for anything else.
std::optional<Matrix<float>> matrix_f32_from_array(PyObject* object);

// ValueError "{name} contains non-finite values (NaN or Inf)" at the first
// value that is NaN or infinite, or becomes infinite as a float32 (the
// precision the engine stores).
void check_finite(std::span<const double> values, std::string_view name);
// True when every value is finite (a bit test: exponent not all ones).
bool all_finite(std::span<const float> values);

}  // namespace velq::py
