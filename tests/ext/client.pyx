# cython: language_level=3
# A compiled caller of SparseSolver's C-level method table, built by the tests.
cimport numpy as cnp
from vendrel.sparse_solver cimport SparseSolver

cnp.import_array()


def do_stuff(SparseSolver solver, int[:] v):
    return solver.do_stuff(v)


def do_stuff_none(SparseSolver solver):
    cdef int[:] v = None
    return solver.do_stuff(v)


def compute_residuals(SparseSolver solver, x):
    return solver.compute_residuals(x)


def compute_pattern(SparseSolver solver, x0):
    return solver.compute_pattern(x0)


def find_groups(SparseSolver solver, int[:] rows, int[:] cols):
    return solver.find_groups(rows, cols)


def find_groups_none(SparseSolver solver, int[:] rows):
    cdef int[:] cols = None
    return solver.find_groups(rows, cols)


def pattern_rows(SparseSolver solver):
    return solver.pattern_rows


cdef class Tripled(SparseSolver):
    """Redefines the residual function at the C level."""

    cpdef cnp.ndarray compute_residuals(self, cnp.ndarray x):
        return 3 * x
