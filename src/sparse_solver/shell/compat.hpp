// The one place that knows how the CPython versions we build for (3.8 to 3.13) differ.
// Code elsewhere is written against these names; each shim says which version changed what.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

// 3.8's PyMODINIT_FUNC carries no visibility attribute, and we build with hidden
// visibility, so the entry point says it is exported itself.
#if defined(__GNUC__)
#define VS_EXPORT __attribute__((visibility("default")))
#else
#define VS_EXPORT
#endif

namespace vendrel::compat {

// PyObject_Vectorcall became public in 3.9; 3.8 has it under a private name.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

// The pending exception, taken out and put back. 3.12 made it a single object
// and deprecated the three-part PyErr_Fetch/PyErr_Restore.
class SavedError {
 public:
  SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &tb_);
#endif
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { restore(); }

  // Puts the saved exception back as the pending one.
  void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (exc_) PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
#else
    if (type_) PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
#endif
  }

  // Drops the saved exception, leaving whatever is pending now.
  void discard() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    Py_CLEAR(exc_);
#else
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_ = nullptr;
#else
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

// PyObject_GC_IsFinalized is public from 3.9; 3.8 has the macro it replaced.
inline bool gc_is_finalized(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  return PyObject_GC_IsFinalized(o) != 0;
#else
  return _PyGC_FINALIZED(o) != 0;
#endif
}

// The interpreter lock exists from start-up since 3.7; PyEval_InitThreads is a
// deprecated no-op from 3.9, so it is only called where it is not deprecated.
inline void init_threads() noexcept {
#if PY_VERSION_HEX < 0x03090000
  PyEval_InitThreads();
#endif
}

// Py_NewRef and Py_SET_REFCNT arrived in 3.10 and 3.9.
inline PyObject* new_ref(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

inline void set_refcnt(PyObject* o, Py_ssize_t count) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  Py_SET_REFCNT(o, count);
#else
  Py_REFCNT(o) = count;
#endif
}

}  // namespace vendrel::compat
