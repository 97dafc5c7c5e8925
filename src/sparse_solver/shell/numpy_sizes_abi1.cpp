// NumPy structure sizes of the NumPy 1.x ABI, which NumPy 2's headers still describe (their
// default target is a 1.x release).
#include "numpy_structs.hpp"

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
