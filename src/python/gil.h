// Gives up the interpreter lock for a scope and takes it back on every exit
// path, exceptions included. Nothing inside the scope may touch a Python
// object.
#pragma once

#include <Python.h>

namespace velq::py {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace velq::py
