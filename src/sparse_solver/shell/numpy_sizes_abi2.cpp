// NumPy structure sizes of the NumPy 2 ABI. The target must be chosen before any NumPy
// header is read, and NPY_2_0_API_VERSION is only named by the header that reads it.
#include <numpy/_numpyconfig.h>
#if NPY_ABI_VERSION >= 0x02000000
#define NPY_TARGET_VERSION 0x00000012 /* NPY_2_0_API_VERSION */
#endif

#include "numpy_structs.hpp"

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
