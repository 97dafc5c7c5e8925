// NumPy's object structures, for their sizes only. Each file that includes this header
// chooses the NumPy ABI first (NPY_TARGET_VERSION); nothing else of NumPy's C interface
// is used: no deprecated names, and no C-level function table (the extern table names
// are declared and never used).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API 0x00000007 /* NPY_1_7_API_VERSION */
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define PY_ARRAY_UNIQUE_SYMBOL vendrel_unused_array_api
#define PY_UFUNC_UNIQUE_SYMBOL vendrel_unused_ufunc_api
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>
