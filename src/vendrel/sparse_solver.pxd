# The C-level interface of vendrel.sparse_solver.SparseSolver, for Cython modules:
#
#     from vendrel.sparse_solver cimport SparseSolver
#
# cpdef methods called through a SparseSolver-typed reference go through the class's
# method table, so a Python subclass's redefinition still runs; do_stuff exists only here.

cimport numpy as cnp

cdef class SparseSolver:
    cdef cnp.ndarray pattern_rows
    cdef object reserved1
    cdef object reserved2
    cpdef cnp.ndarray compute_residuals(self, cnp.ndarray x)
    cpdef tuple compute_pattern(self, cnp.ndarray x0)
    cpdef list find_groups(self, int[:] rows, int[:] cols)
    cdef do_stuff(self, int[:] v)
