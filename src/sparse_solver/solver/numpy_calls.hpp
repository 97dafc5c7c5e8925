// Calls into NumPy through the module-level `np`, looked up anew at every call.
#pragma once

#include "shell/compat.hpp"

namespace vendrel {

// Where a failing call is reported: the function's name, the site of the calling statement
// (each step of the call adds its own multiple of 10000 to it) and the source line.
struct CallSite {
  const char* function;
  int site;
  int line;
};

// np.<function>(arg, dtype=np.<dtype_name>), or with dtype=`dtype` when `dtype_name` is
// null. A new reference, or null with the exception and its traceback entry.
PyObject* call_numpy(PyObject* function, PyObject* arg, PyObject* dtype_name, PyObject* dtype,
                     const CallSite& where) noexcept;

}  // namespace vendrel
