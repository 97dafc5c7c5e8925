// Work a Jacobian starts on a helper thread and waits for later: the next group's perturbed
// point, written while the residual function evaluates this one; the steps' divisors, needed
// only by the recovery; the comparison of a caller's `out` with the pattern, made before the
// first evaluation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace runtime {

// Jobs that read or write fewer bytes run at once: waking a helper would cost more.
constexpr std::size_t kHandOver = std::size_t{1} << 20;

// perturb(x, columns, out, moved, rule, part): out = x, with the listed columns moved to
// moved[j] or, where moved is None, by the step rule (evaluation `part` of the scheme).
PyObject* perturb(PyObject* module, PyObject* arguments);

// start_perturb(...), the same arguments: starts it and returns a Pending, whose wait()
// returns None once `out` is written.
PyObject* start_perturb(PyObject* module, PyObject* arguments);

// steps(x, rule, divisors, out): what divides each column's differences (divisors true), or
// its signed step, by the step rule; start_steps(...) starts it and returns a Pending.
PyObject* steps(PyObject* module, PyObject* arguments);
PyObject* start_steps(PyObject* module, PyObject* arguments);

// start_same_indices(a, b): a Pending whose wait() tells whether two index arrays hold the
// same integers of the same width.
PyObject* start_same_indices(PyObject* module, PyObject* arguments);

// A Pending holds the arrays until wait() has returned; one that dies first waits.
bool add_pending_type(PyObject* module);

}  // namespace runtime
