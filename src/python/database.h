// The Database object: one field, a shared handle to the lock that guards
// one open engine; every object opened on one directory in this process
// holds the same handle (open_registry.h). Methods reach the engine only through read_engine and
// write_engine, which give up the interpreter lock for the whole span from
// waiting on the database lock to dropping it.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <utility>

#include "engine/velqor_engine.h"
#include "python/args.h"
#include "python/engine_lock.h"
#include "python/errors.h"
#include "python/gil.h"

namespace velq::py {

using EngineHandle = PoisonableRwLock<VelqorEngine>;

struct DatabaseObject {
  PyObject_HEAD
  std::shared_ptr<EngineHandle> handle;
};

// f(const VelqorEngine&) under the shared lock, interpreter lock given up.
// f must not touch Python objects; what it returns crosses back.
template <typename F>
auto read_engine(DatabaseObject& db, F&& f) {
  const GilRelease released;
  return db.handle->read(std::forward<F>(f));
}

// f(VelqorEngine&) under the exclusive lock, interpreter lock given up.
template <typename F>
auto write_engine(DatabaseObject& db, F&& f) {
  const GilRelease released;
  return db.handle->write(std::forward<F>(f));
}

// A method body: the bound arguments in, a new reference out.
using MethodBody = PyObject* (*)(DatabaseObject&, const BoundArgs&);

// The interpreter's entry point for one method: binds the arguments by
// `sig`, runs `body`, and turns every failure into a Python exception.
template <const Signature& sig, MethodBody body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return guarded([&] {
    const BoundArgs bound(sig, args, nargs, kwnames);
    return body(*reinterpret_cast<DatabaseObject*>(self), bound);
  });
}

template <const Signature& sig, MethodBody body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<sig, body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The method families, each defined next to its bodies.
std::span<const PyMethodDef> open_methods();
std::span<const PyMethodDef> write_methods();
std::span<const PyMethodDef> read_methods();
std::span<const PyMethodDef> maintenance_methods();
std::span<const PyMethodDef> search_methods();
std::span<const PyMethodDef> index_methods();

// len(db) and `id in db`.
Py_ssize_t database_len(PyObject* self) noexcept;
int database_contains(PyObject* self, PyObject* id) noexcept;

// A new Database object holding `handle`, which other objects may share.
PyObject* new_database(std::shared_ptr<EngineHandle> handle);

}  // namespace velq::py
