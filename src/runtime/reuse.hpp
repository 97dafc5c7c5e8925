// Memory for the arrays of new Jacobians, taken back when they die: a Newton iteration asks
// for a matrix of the same pattern again and again, and fresh memory costs a page fault per
// page (at a million unknowns, more than the recovery itself).
//
// Pool(keep) hands out Blocks (writable buffers that NumPy arrays are made over) through
// Pool.arrays(pointers, indices) -> (data, indices, pointers): room for the values and copies
// of the two index arrays. A Block that dies goes back to its pool's free list while that
// holds at most `keep` bytes, and is freed otherwise; the pool frees its list when it dies,
// which is when the last Block and its owner are gone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace runtime {

// Readies the types and adds Pool to the module; false with an exception set.
bool add_reuse_types(PyObject* module);

}  // namespace runtime
