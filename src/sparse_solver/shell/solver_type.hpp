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

}  // namespace vendrel
