// The SparseSolver extension type: instance record, creation, destruction, garbage
// collection, and the C-level method table it publishes for other compiled modules.
#pragma once

#include "compat.hpp"
#include "vendrel/sparse_solver.h"

namespace vendrel {

using Solver = vendrel_SparseSolver;

extern PyTypeObject solver_type;

// What the methods (solver/methods.cpp) give the type: its Python-visible methods, ended
// by an empty row, and its C-level method table.
extern PyMethodDef solver_methods[];
extern vendrel_SparseSolver_vtable solver_vtable;

// Makes the type ready and publishes the method table in the type's dictionary as the
// unnamed capsule `__pyx_vtable__`. -1 with an exception on failure.
int ready_solver_type() noexcept;

}  // namespace vendrel
