#include "python/errors.h"

#include <cstdio>
#include <exception>
#include <new>

#include "python/engine_lock.h"

namespace velq::py {
namespace {

PyObject* panic_exception = nullptr;  // strong reference for the process

void set_panic(const char* message) {
  PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError, message);
}

}  // namespace

void create_panic_exception() {
  if (panic_exception != nullptr) return;
  panic_exception = PyErr_NewExceptionWithDoc(
      "velq.PanicException", "An internal invariant of the database was violated.",
      PyExc_BaseException, nullptr);
  if (panic_exception == nullptr) throw PyErrorSet{};
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) set_panic("error reported without an exception set");
  } catch (const PyFail& fail) {
    PyErr_SetString(fail.type, fail.message.c_str());
  } catch (const LockPoisoned& poisoned) {
    PyErr_SetString(PyExc_RuntimeError, poisoned.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());  // Panic, and any other C++ failure
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace velq::py
