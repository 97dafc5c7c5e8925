// NumPy structure sizes of the NumPy 1.x ABI, which NumPy 2's headers still describe (their
// default target is a 1.x release).
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

// NumPy 2's headers keep the 1.x descriptor as PyArray_DescrProto; their PyArray_Descr is
// only the part that both share.
#if NPY_ABI_VERSION >= 0x02000000
constexpr std::size_t kDescriptorSize = sizeof(PyArray_DescrProto);
#else
constexpr std::size_t kDescriptorSize = sizeof(PyArray_Descr);
#endif

const NumpySizes kNumpySizesAbi1 = {
    kDescriptorSize,
    sizeof(PyArrayIterObject),
    sizeof(PyArrayMultiIterObject),  // 32 iterators, the 1.x layout
    sizeof(PyArrayObject_fields),
    sizeof(PyUFuncObject),
};

}  // namespace vendrel
