// The extension module `velq` (its one exported symbol is PyInit_velq) and
// its Database type object, built once per process from its slot table.
#include <Python.h>

#include <new>
#include <vector>

#include "python/arrays.h"
#include "python/database.h"
#include "python/errors.h"

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

// Creates (once per process) the Database type and adds it to `module`
// under both of its names.
void register_database(PyObject* module) {
  if (database_type == nullptr) database_type = create_type();
  check(PyModule_AddObjectRef(module, "Database", reinterpret_cast<PyObject*>(database_type)));
  const PyRef same = PyRef::steal(PyObject_GetAttrString(module, "Database"));
  check(PyModule_AddObjectRef(module, "VelqorDB", same.get()));
}

}  // namespace

PyObject* new_database(std::shared_ptr<EngineHandle> handle) {
  PyObject* self = database_type->tp_alloc(database_type, 0);
  if (self == nullptr) throw PyErrorSet{};
  new (&reinterpret_cast<DatabaseObject*>(self)->handle) std::shared_ptr<EngineHandle>(std::move(handle));
  return self;
}

}  // namespace velq::py

namespace {

int exec_module(PyObject* module) noexcept {
  PyObject* ok = velq::py::guarded([&]() -> PyObject* {
    velq::py::import_numpy();
    velq::py::create_panic_exception();
    velq::py::register_database(module);
    Py_RETURN_NONE;
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velq", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velq() { return PyModuleDef_Init(&module_def); }
