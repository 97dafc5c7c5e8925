/*
 * vendrel/sparse_solver.h: the C-level interface of vendrel.sparse_solver.SparseSolver.
 *
 * For C and C++ modules that call the solver's methods without going through
 * Python attribute look-up. The layouts below are fixed: they are the layouts
 * Cython generates for the declaration in sparse_solver.pxd, so Cython and
 * hand-written callers see the same object.
 */
#ifndef VENDREL_SPARSE_SOLVER_H
#define VENDREL_SPARSE_SOLVER_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A one-dimensional typed view, laid out as Cython's memoryview slice.
 * Only index 0 of shape, strides and suboffsets is used. `owner` keeps the
 * memory alive and exports it through the buffer protocol (or is None, with
 * data NULL and shape[0] 0, for a view made from None). The struct is passed
 * by value, so it must stay a plain C struct.
 */
typedef struct vendrel_view {
    PyObject *owner;
    char *data;
    Py_ssize_t shape[8];
    Py_ssize_t strides[8];
    Py_ssize_t suboffsets[8];
} vendrel_view;

typedef struct vendrel_SparseSolver vendrel_SparseSolver;

/*
 * The C-level method table, in this order. Each entry returns a new reference,
 * or NULL with a Python exception set. `skip_dispatch` non-zero runs the
 * class's own body; zero first lets a Python subclass's redefinition run.
 */
typedef struct vendrel_SparseSolver_vtable {
    PyObject *(*compute_residuals)(vendrel_SparseSolver *self, PyObject *x, int skip_dispatch);
    PyObject *(*compute_pattern)(vendrel_SparseSolver *self, PyObject *x0, int skip_dispatch);
    PyObject *(*find_groups)(vendrel_SparseSolver *self, vendrel_view rows, vendrel_view cols,
                             int skip_dispatch);
    PyObject *(*do_stuff)(vendrel_SparseSolver *self, vendrel_view v);
} vendrel_SparseSolver_vtable;

/* The instance record. The three object fields are never NULL on a live instance. */
struct vendrel_SparseSolver {
    PyObject_HEAD
    vendrel_SparseSolver_vtable *vtab;
    PyObject *pattern_rows; /* numpy.ndarray or None */
    PyObject *reserved1;
    PyObject *reserved2;
};

/*
 * The table published by `type` (SparseSolver or a subclass) in its
 * `__pyx_vtable__` capsule; NULL with an exception set if there is none.
 */
static inline vendrel_SparseSolver_vtable *vendrel_SparseSolver_get_vtable(PyTypeObject *type)
{
    PyObject *capsule = PyObject_GetAttrString((PyObject *)type, "__pyx_vtable__");
    vendrel_SparseSolver_vtable *table;
    if (capsule == NULL) {
        return NULL;
    }
    table = (vendrel_SparseSolver_vtable *)PyCapsule_GetPointer(capsule, NULL);
    Py_DECREF(capsule);
    return table;
}

#ifdef __cplusplus
}
#endif

#endif /* VENDREL_SPARSE_SOLVER_H */
