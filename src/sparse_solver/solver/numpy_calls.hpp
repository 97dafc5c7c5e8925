// Calls into NumPy through the module-level `np`, looked up anew at every call.
#pragma once

#include "shell/failure.hpp"

namespace vendrel {

// np.<name>: a new reference, or null with the exception (no traceback entry).
PyObject* numpy_attribute(PyObject* name) noexcept;

// np.<function>(arg, dtype=np.<dtype_name>), or with dtype=`dtype` when `dtype_name` is
// null. A new reference, or null with the exception and its traceback entry at `at`.
PyObject* call_numpy(PyObject* function, PyObject* arg, PyObject* dtype_name, PyObject* dtype,
                     Site at) noexcept;

}  // namespace vendrel
