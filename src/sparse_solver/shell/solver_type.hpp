// The SparseSolver extension type: instance record, creation, destruction, garbage
// collection, and the C-level method table it publishes for other compiled modules.
#pragma once

#include "compat.hpp"
#include "vendrel/sparse_solver.h"

namespace vendrel {

extern PyTypeObject solver_type;

// Fills the method table, makes the type ready and publishes the table in the type's
// dictionary as the unnamed capsule `__pyx_vtable__`. -1 with an exception on failure.
int ready_solver_type() noexcept;

// The C function behind the Python-visible method at `index` (0 compute_residuals,
// 1 compute_pattern, 2 find_groups): what attribute look-up on an instance whose class
// does not redefine that method finds.
PyCFunction own_method_function(int index) noexcept;

}  // namespace vendrel
