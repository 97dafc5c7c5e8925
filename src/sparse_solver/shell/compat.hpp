// The one place that knows how the CPython versions we build for (3.8 to 3.13) differ.
// Code elsewhere uses the newest API's own names; where the oldest supported version lacks
// one, it is defined here behind the version that brought it, as pythoncapi-compat does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// 3.8's PyMODINIT_FUNC carries no visibility attribute, and we build with hidden
// visibility, so the entry point says it is exported itself.
#if defined(__GNUC__)
#define VS_EXPORT __attribute__((visibility("default")))
#else
#define VS_EXPORT
#endif

// 3.9: the vectorcall protocol became public; 3.8 has it under a private name.
#if PY_VERSION_HEX < 0x03090000
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

// 3.9: Py_SET_REFCNT, for the static type objects made at run time.
#if PY_VERSION_HEX < 0x03090000
inline void Py_SET_REFCNT(PyObject* o, Py_ssize_t count) noexcept { Py_REFCNT(o) = count; }
#endif

// 3.9: PyObject_GC_IsFinalized replaced the _PyGC_FINALIZED macro.
#if PY_VERSION_HEX < 0x03090000
inline int PyObject_GC_IsFinalized(PyObject* o) noexcept { return _PyGC_FINALIZED(o); }
#endif

// 3.10: Py_NewRef.
#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}
#endif

// 3.12: the pending exception as one object, replacing the three-part PyErr_Fetch and
// PyErr_Restore. Before 3.12 it is normalised on the way out, as 3.12 keeps it.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyErr_GetRaisedException() noexcept {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) noexcept {
  PyObject* type = nullptr;
  PyObject* traceback = nullptr;
  if (exc != nullptr) {
    type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    traceback = PyException_GetTraceback(exc);
  }
  PyErr_Restore(type, exc, traceback);
}
#endif
