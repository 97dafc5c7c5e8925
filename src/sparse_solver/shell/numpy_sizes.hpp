// The sizes of NumPy's object structures, the expected sizes of the start-up layout check.
// Nothing else of NumPy's C interface is used (everything else goes through the
// Python-level module and buffers).
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

// The layouts of the NumPy release named by `version` (numpy.__version__, such as "2.2.6"),
// as far as the build's headers know them: a release newer than the headers gets the
// newest layout they describe, so a structure grown since then still shows as larger.
const NumpySizes& numpy_sizes_for(const char* version) noexcept;

}  // namespace vendrel
