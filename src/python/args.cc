#include "python/args.h"

#include <cstring>

#include "python/arrays.h"
#include "python/py_ref.h"

namespace velq::py {
namespace {

[[noreturn]] void raise_type_error(std::string message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PyErrorSet{};
}

std::string call_name(const Signature& sig) { return std::string(sig.qualified_name) + "()"; }

std::size_t param_index(const Signature& sig, PyObject* name) {
  const char* key = PyUnicode_AsUTF8(name);
  if (key == nullptr) throw PyErrorSet{};
  std::size_t i = 0;
  for (const char* param : sig.params) {
    if (std::strcmp(param, key) == 0) return i;
    ++i;
  }
  raise_type_error(call_name(sig) + " got an unexpected keyword argument '" + key + "'");
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

BoundArgs::BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames)
    : sig_(sig) {
  const std::size_t n_params = sig.params.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > n_params) {
    raise_type_error(call_name(sig) + " takes at most " + plural(n_params, "positional argument") +
                     " (" + std::to_string(given) + " given)");
  }
  for (std::size_t i = 0; i < given; ++i) values_[i] = args[i];
  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    const std::size_t i = param_index(sig, PyTuple_GET_ITEM(kwnames, k));
    if (values_[i] != nullptr) {
      raise_type_error(call_name(sig) + " got multiple values for argument '" +
                       *(sig.params.begin() + i) + "'");
    }
    values_[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (values_[i] == nullptr) {
      raise_type_error(call_name(sig) + " missing required argument '" +
                       *(sig.params.begin() + i) + "'");
    }
  }
}

void BoundArgs::rethrow_prefixed(std::size_t i) const {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
  const PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  const PyRef text = PyRef::steal(PyObject_Str(raised.get()));
  const char* message = PyUnicode_AsUTF8(text.get());
  if (message == nullptr) throw PyErrorSet{};
  raise_type_error(std::string("argument '") + *(sig_.params.begin() + i) + "': " + message);
}

std::string BoundArgs::str(std::size_t i) const { return convert(i, to_string); }

bool BoundArgs::boolean(std::size_t i, bool fallback) const {
  return values_[i] == nullptr ? fallback : convert(i, to_bool);
}

std::int64_t BoundArgs::i64(std::size_t i, std::int64_t fallback) const {
  return values_[i] == nullptr ? fallback : convert(i, to_i64);
}

std::optional<std::int64_t> BoundArgs::opt_i64(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_i64);
}

std::uint64_t BoundArgs::u64(std::size_t i, std::uint64_t fallback) const {
  return values_[i] == nullptr ? fallback : convert(i, to_u64);
}

std::optional<std::uint64_t> BoundArgs::opt_u64(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_u64);
}

std::optional<double> BoundArgs::opt_f64(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_f64);
}

std::optional<std::string> BoundArgs::opt_str(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_string);
}

std::optional<bool> BoundArgs::opt_bool(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_bool);
}

PyObject* BoundArgs::opt_dict(std::size_t i) const {
  PyObject* object = present(i);
  if (object != nullptr && !PyDict_Check(object)) {
    convert(i, [](PyObject* o) -> int { throw_cannot_convert(o, "PyDict"); });
  }
  return object;
}

std::vector<std::string> BoundArgs::str_list(std::size_t i) const {
  return convert(i, to_str_list);
}

std::optional<std::vector<std::string>> BoundArgs::opt_str_list(std::size_t i) const {
  if (present(i) == nullptr) return std::nullopt;
  return convert(i, to_str_list);
}

std::string type_name(PyObject* object) {
  const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) throw PyErrorSet{};
  return text;
}

void throw_cannot_convert(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  raise_type_error(std::move(message));
}

std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PyErrorSet{};
  return std::string(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (is_numpy_bool(object)) return PyObject_IsTrue(object) == 1;
  throw_cannot_convert(object, "PyBool");
}

std::int64_t to_i64(PyObject* object) {
  const PyRef index = PyRef::steal(PyNumber_Index(object));
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return value;
}

std::uint64_t to_u64(PyObject* object) {
  const PyRef index = PyRef::steal(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  return value;
}

double to_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
  return value;
}

std::vector<std::string> to_str_list(PyObject* object) {
  if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_cannot_convert(object, "Sequence");
  const Py_ssize_t n = PySequence_Size(object);
  if (n < 0) throw PyErrorSet{};
  std::vector<std::string> out;  // grown by the items read, not by the length claimed
  for (Py_ssize_t i = 0; i < n; ++i) {
    const PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    out.push_back(to_string(item.get()));
  }
  return out;
}

}  // namespace velq::py

namespace velq::py {

std::string unicode_lower(const std::string& text) {
  const PyRef str =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  const PyRef lowered = PyRef::steal(PyObject_CallMethod(str.get(), "lower", nullptr));
  return to_string(lowered.get());
}

}  // namespace velq::py
