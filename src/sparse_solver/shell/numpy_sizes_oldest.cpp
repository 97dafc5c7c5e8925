// NumPy structure sizes for the oldest ABI the build's NumPy headers target by default.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include "numpy_sizes.hpp"

namespace vendrel {

const NumpySizes kNumpySizesOldestAbi = {
    sizeof(PyArray_Descr),
    sizeof(PyArrayIterObject),
    sizeof(PyArrayMultiIterObject),  // 32 iterators, the 1.x layout
    sizeof(PyArrayObject_fields),
    sizeof(PyUFuncObject),
};

}  // namespace vendrel
