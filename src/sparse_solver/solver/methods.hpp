// The methods of SparseSolver: the C-level entries of its method table and the
// Python-visible methods that call them with the skip-dispatch flag set.
#pragma once

#include "shell/compat.hpp"
#include "shell/solver_type.hpp"
#include "shell/views.hpp"

namespace vendrel {

PyObject* compute_residuals_entry(Solver* self, PyObject* x, int skip_dispatch) noexcept;
PyObject* compute_pattern_entry(Solver* self, PyObject* x0, int skip_dispatch) noexcept;
PyObject* find_groups_entry(Solver* self, View rows, View cols, int skip_dispatch) noexcept;
PyObject* do_stuff_entry(Solver* self, View v) noexcept;

PyObject* compute_residuals_method(PyObject* self, PyObject* x) noexcept;
PyObject* compute_pattern_method(PyObject* self, PyObject* x0) noexcept;
PyObject* find_groups_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace vendrel
