// NumPy structure sizes of the NumPy 2 ABI. The target must be chosen before any NumPy
// header is read, and NPY_2_0_API_VERSION is only named by the header that reads it.
#include <numpy/_numpyconfig.h>
#if NPY_ABI_VERSION >= 0x02000000
#define NPY_TARGET_VERSION 0x00000012 /* NPY_2_0_API_VERSION */
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Only the structure definitions are wanted: not the deprecated names, and no C-level
// function table (the extern table names are declared and never used).
#define NPY_NO_DEPRECATED_API 0x00000007 /* NPY_1_7_API_VERSION */
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define PY_ARRAY_UNIQUE_SYMBOL vendrel_unused_array_api
#define PY_UFUNC_UNIQUE_SYMBOL vendrel_unused_ufunc_api
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include "numpy_sizes.hpp"

#include <cstddef>

namespace vendrel {

// NumPy 2's headers leave the multi-iterator's array of iterators without its real
// length (NPY_MAXARGS), so its size is counted here.
constexpr std::size_t kMultiIterSize =
    offsetof(PyArrayMultiIterObject, iters) + NPY_MAXARGS * sizeof(PyArrayIterObject*);

const NumpySizes kNumpySizesAbi2 = {
    sizeof(PyArray_Descr),
    sizeof(PyArrayIterObject),
    kMultiIterSize,
    sizeof(PyArrayObject_fields),
    sizeof(PyUFuncObject),
};

}  // namespace vendrel
