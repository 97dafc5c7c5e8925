// The sizes of NumPy's object structures as the NumPy headers of the build define them.
// They are the expected sizes of the start-up layout check; nothing else of NumPy's C
// interface is used (everything else goes through the Python-level module and buffers).
#pragma once

#include <cstddef>

namespace vendrel {

struct NumpySizes {
  std::size_t dtype;      // the array descriptor
  std::size_t flatiter;   // the flat iterator
  std::size_t broadcast;  // the multi-iterator
  std::size_t ndarray;    // the array object
  std::size_t ufunc;      // the universal function object
};

// The layouts of NumPy 1.x, for running on NumPy 1.x.
extern const NumpySizes kNumpySizesAbi1;

// The layouts of NumPy 2.0, the oldest of the 2.x ABI; when built against NumPy 1.x
// headers, the same as kNumpySizesAbi1 (such a build runs on 1.x only).
extern const NumpySizes kNumpySizesAbi2;

}  // namespace vendrel
