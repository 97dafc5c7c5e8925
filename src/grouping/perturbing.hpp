// The perturbed points of a Jacobian, made now or on a thread of its own: the next group's
// point can be written while the residual function evaluates this one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace grouping {

// perturb(x, columns, out, moved, rule, part): out = x, with the listed columns moved to
// moved[j] or, where moved is None, by the step rule (evaluation `part` of the scheme).
PyObject* perturb(PyObject* module, PyObject* arguments);

// start_perturb(...), the same arguments: starts it and returns a Pending, whose wait()
// returns once `out` is written. The arrays are held until then; a Pending that dies waits.
PyObject* start_perturb(PyObject* module, PyObject* arguments);

// Readies the Pending type; false with an exception set.
bool add_pending_type(PyObject* module);

}  // namespace grouping
