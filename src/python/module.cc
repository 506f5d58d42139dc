// The extension module `velq`: its one exported symbol is PyInit_velq.
#include <Python.h>

#include "python/arrays.h"
#include "python/database.h"
#include "python/errors.h"

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
