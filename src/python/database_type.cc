// The Database type object, built once per process from its slot table.
#include <new>
#include <vector>

#include "python/database.h"

namespace velq::py {
namespace {

constexpr const char* kClassDoc =
    "Thread-safe handle to a VelqorDB database.\n\n"
    "All operations are safe to call from multiple Python threads simultaneously.\n"
    "Reads are concurrent; writes (insert/delete/index) are serialised by an internal\n"
    "`RwLock`.\n\n"
    "Open or create a database with :meth:`Database.open`.";

PyTypeObject* database_type = nullptr;  // strong reference for the process

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DatabaseObject*>(self)->handle.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

std::vector<PyMethodDef> all_methods() {
  std::vector<PyMethodDef> table;
  for (const auto family : {open_methods(), write_methods(), read_methods(), search_methods(),
                             index_methods(), maintenance_methods()}) {
    table.insert(table.end(), family.begin(), family.end());
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table;
}

PyTypeObject* create_type() {
  static std::vector<PyMethodDef> methods = all_methods();  // the type keeps pointers into it
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
      {Py_tp_methods, methods.data()},
      {Py_sq_length, reinterpret_cast<void*>(&database_len)},
      {Py_sq_contains, reinterpret_cast<void*>(&database_contains)},
      {0, nullptr},
  };
  static PyType_Spec type_def = {
      "velq.Database", sizeof(DatabaseObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyRef::steal(PyType_FromSpec(&type_def)).release());
}

}  // namespace

void register_database(PyObject* module) {
  if (database_type == nullptr) database_type = create_type();
  check(PyModule_AddObjectRef(module, "Database", reinterpret_cast<PyObject*>(database_type)));
  const PyRef same = PyRef::steal(PyObject_GetAttrString(module, "Database"));
  check(PyModule_AddObjectRef(module, "VelqorDB", same.get()));
}

PyObject* new_database(std::shared_ptr<EngineHandle> handle) {
  PyObject* self = database_type->tp_alloc(database_type, 0);
  if (self == nullptr) throw PyErrorSet{};
  new (&reinterpret_cast<DatabaseObject*>(self)->handle) std::shared_ptr<EngineHandle>(std::move(handle));
  return self;
}

}  // namespace velq::py
