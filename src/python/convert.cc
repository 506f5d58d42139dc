#include "python/convert.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "common/panic.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace velq::py {
namespace {

// The interpreter's recursion guard for one level of a recursive conversion.
class RecursionGuard {
 public:
  RecursionGuard() {
    if (Py_EnterRecursiveCall(" while converting a value") != 0) throw PyErrorSet{};
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

[[noreturn]] void throw_too_deep() { throw_value_error(VelqorEngine::property_too_deep_message()); }

JsonValue to_json(PyObject* object, std::size_t depth_left);

// Reads a dict's members, refusing a dict that changes while its values are
// converted (conversion hooks run Python code).
JsonObject dict_to_json(PyObject* dict, std::size_t depth_left) {
  const Py_ssize_t initial_size = PyDict_GET_SIZE(dict);
  std::vector<JsonMember> members;
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (++seen > initial_size) panic("dictionary keys changed during iteration");
    const PyRef key_ref = PyRef::borrow(key);
    const PyRef value_ref = PyRef::borrow(value);
    std::string name = to_string(key_ref.get());
    members.emplace_back(name, to_json(value_ref.get(), depth_left));
    if (PyDict_GET_SIZE(dict) != initial_size) panic("dictionary changed size during iteration");
  }
  return JsonObject(std::move(members));
}

JsonValue list_to_json(PyObject* list, std::size_t depth_left) {
  std::vector<JsonValue> items;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {  // hooks may resize it
    const PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    items.push_back(to_json(item.get(), depth_left));
  }
  return JsonValue::array(std::move(items));
}

// Clears a failed conversion's exception unless it must not be swallowed
// (an interrupt, or a system exit).
void clear_conversion_failure() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
  PyErr_Clear();
}

std::optional<JsonValue> integer_to_json(PyObject* object) {
  if (!PyLong_Check(object) && !PyIndex_Check(object)) return std::nullopt;
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) {
    clear_conversion_failure();
    return std::nullopt;
  }
  const PyRef index_ref = PyRef::steal(index);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow != 0) return std::nullopt;  // beyond i64: tried as a float next
  return JsonValue::integer(static_cast<std::int64_t>(value));
}

std::optional<JsonValue> float_to_json(PyObject* object) {
  const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (!PyFloat_Check(object) &&
      (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr))) {
    return std::nullopt;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    clear_conversion_failure();
    return std::nullopt;
  }
  return std::isfinite(value) ? JsonValue::floating(value) : JsonValue::null();
}

JsonValue to_json(PyObject* object, std::size_t depth_left) {
  if (object == Py_None) return JsonValue::null();
  if (PyBool_Check(object)) return JsonValue::boolean(object == Py_True);
  if (auto integer = integer_to_json(object)) return std::move(*integer);
  if (auto number = float_to_json(object)) return std::move(*number);
  if (PyUnicode_Check(object)) return JsonValue::string(to_string(object));
  const bool is_list = PyList_Check(object);
  if (!is_list && !PyDict_Check(object)) return JsonValue::null();
  if (depth_left == 0) throw_too_deep();
  const RecursionGuard guard;
  if (is_list) return list_to_json(object, depth_left - 1);
  return JsonValue::object(dict_to_json(object, depth_left - 1));
}

}  // namespace

void set_item(PyObject* dict, const char* key, PyObject* new_value) {
  const PyRef value = PyRef::steal(new_value);
  check(PyDict_SetItemString(dict, key, value.get()));
}

JsonObject parse_pydict(PyObject* dict) {
  if (dict == nullptr || dict == Py_None) return JsonObject();
  if (!PyDict_Check(dict)) throw_cannot_convert(dict, "PyDict");
  return dict_to_json(dict, VelqorEngine::max_property_depth());
}

std::optional<JsonObject> parse_filter(PyObject* dict) {
  JsonObject filter = parse_pydict(dict);
  if (filter.empty()) return std::nullopt;
  const Status valid = VelqorEngine::check_filter(filter);
  if (!valid.ok()) throw_value_error(valid.error().message());
  return filter;
}

PyObject* json_to_py(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::kNull: Py_RETURN_NONE;
    case JsonValue::Kind::kBool: return PyBool_FromLong(value.as_bool() ? 1 : 0);
    case JsonValue::Kind::kUnsigned: return PyLong_FromUnsignedLongLong(value.as_unsigned());
    case JsonValue::Kind::kSigned: return PyLong_FromLongLong(value.as_signed());
    case JsonValue::Kind::kFloat: return PyFloat_FromDouble(value.as_float());
    case JsonValue::Kind::kString: {
      const std::string_view s = value.as_string();
      return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    case JsonValue::Kind::kArray: {
      const RecursionGuard guard;
      const auto items = value.as_array();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyRef::steal(json_to_py(items[i])).release());
      }
      return list.release();
    }
    case JsonValue::Kind::kObject: {
      const RecursionGuard guard;
      return json_object_to_py(value.as_object());
    }
  }
  panic("unknown JSON value kind");
}

PyObject* json_object_to_py(const JsonObject& object) {
  PyRef dict = PyRef::steal(PyDict_New());
  for (const auto& [key, value] : object) {
    const PyRef py_value = PyRef::steal(json_to_py(value));
    const PyRef py_key =
        PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    check(PyDict_SetItem(dict.get(), py_key.get(), py_value.get()));
  }
  return dict.release();
}

namespace {

PyObject* optional_str_to_py(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* str_to_py(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyObject* get_result_to_py(const GetResult& result) {
  PyRef dict = PyRef::steal(PyDict_New());
  set_item(dict.get(), "id", str_to_py(result.id));
  set_item(dict.get(), "metadata", json_object_to_py(result.metadata));
  set_item(dict.get(), "document", optional_str_to_py(result.document));
  return dict.release();
}

PyObject* hits_to_py(const std::vector<SearchResult>& hits, const HitFields& fields) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const SearchResult& hit = hits[i];
    PyRef dict = PyRef::steal(PyDict_New());
    if (fields.id) set_item(dict.get(), "id", str_to_py(hit.id));
    if (fields.score) set_item(dict.get(), "score", PyFloat_FromDouble(hit.score));
    if (fields.metadata) set_item(dict.get(), "metadata", json_object_to_py(hit.metadata));
    if (fields.document) set_item(dict.get(), "document", optional_str_to_py(hit.document));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

namespace {

// The list of per-row values, or nullptr when `object` is not a list (every
// row then takes its empty value). A list of the wrong length is refused.
PyObject* row_list(PyObject* object, std::size_t rows, const char* what) {
  if (object == nullptr || !PyList_Check(object)) return nullptr;
  const auto length = static_cast<std::size_t>(PyList_GET_SIZE(object));
  if (length != rows) {
    throw_value_error(std::string(what) + " length " + std::to_string(length) +
                      " does not match ids/vectors length " + std::to_string(rows));
  }
  return object;
}

}  // namespace

std::vector<JsonObject> parse_metadata_rows(PyObject* object, std::size_t rows) {
  PyObject* list = row_list(object, rows, "metadatas");
  std::vector<JsonObject> out(rows);
  if (list == nullptr) return out;
  for (std::size_t i = 0; i < rows && i < static_cast<std::size_t>(PyList_GET_SIZE(list)); ++i) {
    const PyRef item = PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
    if (!PyDict_Check(item.get())) throw_cannot_convert(item.get(), "PyDict");
    out[i] = parse_pydict(item.get());
  }
  return out;
}

std::vector<std::optional<std::string>> parse_document_rows(PyObject* object, std::size_t rows) {
  PyObject* list = row_list(object, rows, "documents");
  std::vector<std::optional<std::string>> out(rows);
  if (list == nullptr) return out;
  for (std::size_t i = 0; i < rows && i < static_cast<std::size_t>(PyList_GET_SIZE(list)); ++i) {
    const PyRef item = PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
    if (item.get() != Py_None) out[i] = to_string(item.get());
  }
  return out;
}

}  // namespace velq::py
