// The binding's own Python types: static, filled in when the module is made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// An empty static type, to be filled in before add_type.
inline PyTypeObject static_type() {
  PyTypeObject type{};
  reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;
  return type;
}

// Readies `type` and adds it to the module as `name`; false with an exception set.
inline bool add_type(PyObject* module, PyTypeObject& type, const char* name) {
  if (PyType_Ready(&type) < 0) return false;
  Py_INCREF(&type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(&type)) < 0) {
    Py_DECREF(&type);
    return false;
  }
  return true;
}

}  // namespace common
