"""Residual functions with a known Jacobian pattern, picklable for worker processes."""

import os

import numpy as np
import scipy.sparse

from vendrel.sparse_solver import SparseSolver


class Coupled:
    """r = W @ x**2 + sin(V @ x) + c: the Jacobian's pattern is that of W and V together.
    Counts its calls (in this process)."""

    def __init__(self, pattern, seed=0):
        rng = np.random.default_rng(seed)
        dense = np.asarray(pattern, dtype=bool)
        self.w = scipy.sparse.csr_matrix(dense * rng.uniform(-2, 2, dense.shape))
        self.v = scipy.sparse.csr_matrix(dense * rng.uniform(-1, 1, dense.shape))
        self.c = rng.uniform(-1, 1, dense.shape[0])
        self.calls = 0

    def __call__(self, x):
        self.calls += 1
        return self.w @ (x * x) + np.sin(self.v @ x) + self.c


class CoupledSolver(SparseSolver):
    """The same residuals through a SparseSolver subclass; m may exceed n."""

    def __init__(self, pattern, seed=0):
        self.problem = Coupled(pattern, seed)

    def compute_residuals(self, x):
        return self.problem(x)


class Slotted(SparseSolver):
    """A solver that keeps its state in slots, one of them name-mangled."""

    __slots__ = ("scale", "__offset")

    def configure(self, scale, offset):
        self.scale, self.__offset = scale, offset
        return self

    def compute_residuals(self, x):
        r = self.scale * x**2 + self.__offset
        r[1:] -= x[:-1]
        return r


class Dies:
    """Kills the worker process that evaluates it, while `die` is set; harmless in the parent."""

    def __init__(self, parent):
        self.parent, self.die = parent, True

    def __call__(self, x):
        if self.die and os.getpid() != self.parent:
            os._exit(3)
        return np.cumsum(x)


def grid_pattern(side):
    """The five-point stencil on a side x side grid, as a sparse matrix."""
    i, j = np.divmod(np.arange(side * side), side)
    rows, cols = [], []
    for di, dj in ((0, 0), (1, 0), (-1, 0), (0, 1), (0, -1)):
        inside = (0 <= i + di) & (i + di < side) & (0 <= j + dj) & (j + dj < side)
        rows.append(np.flatnonzero(inside))
        cols.append((i + di)[inside] * side + (j + dj)[inside])
    rows, cols = np.concatenate(rows), np.concatenate(cols)
    return scipy.sparse.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(side * side,) * 2)
