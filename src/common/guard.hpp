// What stands between C++ and the interpreter: every function CPython calls is wrapped so that
// no C++ exception crosses into it (std::bad_alloc becomes MemoryError, anything else a
// RuntimeError), and the interpreter lock is released by a scope that takes it back on every
// way out, an exception's included, so that the wrapper can set the Python error safely.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace common {

// The interpreter lock released for the life of the scope.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Sets the Python error for the exception being handled; null, for a `return`.
inline PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: an unknown C++ exception");
  }
  return nullptr;
}

// `Function` as a METH_VARARGS / METH_NOARGS entry point that lets no exception out.
template <PyObject* (*Function)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* arguments) noexcept {
  try {
    return Function(self, arguments);
  } catch (...) {
    return translate_exception();
  }
}

// The same for a type's tp_new.
template <PyObject* (*Function)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* guarded_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) noexcept {
  try {
    return Function(type, arguments, keywords);
  } catch (...) {
    return translate_exception();
  }
}

}  // namespace common
