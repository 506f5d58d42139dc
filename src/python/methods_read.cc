// Reads without a query vector: get, get_many, list_all, list_ids,
// list_metadata_values, count, len(db) and `id in db`. All run under the
// shared lock with the interpreter lock given up; the Python objects are
// built after the lock is dropped.
#include <string>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/database.h"

namespace velq::py {
namespace {

PyObject* str_list_to_py(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = PyUnicode_FromStringAndSize(items[i].data(), static_cast<Py_ssize_t>(items[i].size()));
    if (item == nullptr) throw PyErrorSet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

constexpr Signature kGetSig{"Database.get", {"id"}, 1};

PyObject* get(DatabaseObject& db, const BoundArgs& a) {
  const std::string id = a.str(0);
  const std::optional<GetResult> record =
      read_engine(db, [&](const VelqorEngine& engine) { return unwrap(engine.get(id)); });
  if (!record) Py_RETURN_NONE;
  return get_result_to_py(*record);
}

constexpr Signature kGetManySig{"Database.get_many", {"ids"}, 1};

PyObject* get_many(DatabaseObject& db, const BoundArgs& a) {
  const std::vector<std::string> ids = a.str_list(0);
  const auto records =
      read_engine(db, [&](const VelqorEngine& engine) { return unwrap(engine.get_many(ids)); });
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = records[i] ? get_result_to_py(*records[i]) : Py_NewRef(Py_None);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

constexpr Signature kListAllSig{"Database.list_all", {}, 0};

PyObject* list_all(DatabaseObject& db, const BoundArgs&) {
  const std::vector<std::string> ids = read_engine(db, [](const VelqorEngine& engine) {
    return unwrap(engine.list_with_filter_page(nullptr, std::nullopt, 0));
  });
  return str_list_to_py(ids);
}

constexpr Signature kListIdsSig{"Database.list_ids", {"where_filter", "limit", "offset"}, 0};

PyObject* list_ids(DatabaseObject& db, const BoundArgs& a) {
  PyObject* filter_dict = a.opt_dict(0);
  const std::optional<std::int64_t> limit = a.opt_i64(1);
  const std::int64_t offset = a.i64(2, 0);
  if (offset < 0) throw_value_error("offset must be >= 0, got " + std::to_string(offset));
  if (limit && *limit < 0) throw_value_error("limit must be >= 0, got " + std::to_string(*limit));
  const std::optional<JsonObject> filter = parse_filter(filter_dict);
  const std::optional<std::uint64_t> page_limit =
      limit ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*limit)) : std::nullopt;
  const std::vector<std::string> ids = read_engine(db, [&](const VelqorEngine& engine) {
    return unwrap(engine.list_with_filter_page(filter ? &*filter : nullptr, page_limit,
                                               static_cast<std::uint64_t>(offset)));
  });
  return str_list_to_py(ids);
}

constexpr Signature kListValuesSig{"Database.list_metadata_values", {"field"}, 1};

PyObject* list_metadata_values(DatabaseObject& db, const BoundArgs& a) {
  const std::string field = a.str(0);
  const auto counts = read_engine(
      db, [&](const VelqorEngine& engine) { return unwrap(engine.list_metadata_values(field)); });
  PyRef dict = PyRef::steal(PyDict_New());
  for (const auto& [value, count] : counts) {
    const PyRef key =
        PyRef::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    const PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    check(PyDict_SetItem(dict.get(), key.get(), number.get()));
  }
  return dict.release();
}

std::uint64_t count_records(DatabaseObject& db, const std::optional<JsonObject>& filter) {
  return read_engine(db, [&](const VelqorEngine& engine) {
    return unwrap(engine.count_with_filter(filter ? &*filter : nullptr));
  });
}

constexpr Signature kCountSig{"Database.count", {"filter"}, 0};

PyObject* count(DatabaseObject& db, const BoundArgs& a) {
  const std::optional<JsonObject> filter = parse_filter(a.opt_dict(0));
  return PyLong_FromUnsignedLongLong(count_records(db, filter));
}

constexpr const char* kGetDoc = "get($self, id)\n--\n\n";
constexpr const char* kGetManyDoc = "get_many($self, ids)\n--\n\n";
constexpr const char* kListAllDoc = "list_all($self)\n--\n\n";
constexpr const char* kListIdsDoc =
    "list_ids($self, where_filter=None, limit=None, offset=0)\n--\n\n"
    "Return IDs with optional metadata filter and pagination.\n\n"
    "Args:\n"
    "    where_filter: Optional metadata filter.\n"
    "    limit: Largest number of IDs to return; ``None`` returns all matching.\n"
    "    offset: Number of matching IDs to skip first (default 0).\n";
constexpr const char* kListValuesDoc =
    "list_metadata_values($self, field)\n--\n\n"
    "Return a ``{value: count}`` dict of all unique values of *field* across active vectors.\n\n"
    "*field* may be a dotted path into nested objects. Values that are not strings\n"
    "are keyed by their JSON text.\n";
constexpr const char* kCountDoc =
    "count($self, filter=None)\n--\n\n"
    "Count vectors matching an optional metadata filter.\n\n"
    "Without a filter this equals ``stats()[\"vector_count\"]`` and costs nothing;\n"
    "with one, every active vector's metadata is checked.\n";

const PyMethodDef kReadMethods[] = {
    method_def<kGetSig, get>("get", kGetDoc),
    method_def<kGetManySig, get_many>("get_many", kGetManyDoc),
    method_def<kListAllSig, list_all>("list_all", kListAllDoc),
    method_def<kListIdsSig, list_ids>("list_ids", kListIdsDoc),
    method_def<kListValuesSig, list_metadata_values>("list_metadata_values", kListValuesDoc),
    method_def<kCountSig, count>("count", kCountDoc),
};

}  // namespace

std::span<const PyMethodDef> read_methods() { return kReadMethods; }

Py_ssize_t database_len(PyObject* self) noexcept {
  PyObject* result = guarded([&] {
    return PyLong_FromUnsignedLongLong(count_records(*reinterpret_cast<DatabaseObject*>(self), std::nullopt));
  });
  if (result == nullptr) return -1;
  const Py_ssize_t n = PyLong_AsSsize_t(result);
  Py_DECREF(result);
  return n;
}

int database_contains(PyObject* self, PyObject* id) noexcept {
  PyObject* result = guarded([&] {
    const std::string key = to_string(id);
    const bool found = read_engine(*reinterpret_cast<DatabaseObject*>(self), [&](const VelqorEngine& engine) {
      return engine.contains(key);
    });
    return PyBool_FromLong(found ? 1 : 0);
  });
  if (result == nullptr) return -1;
  const int found = result == Py_True ? 1 : 0;
  Py_DECREF(result);
  return found;
}

}  // namespace velq::py
