"""The benchmark inputs: a tridiagonal residual function and two sparsity patterns."""

import pathlib
import sys

from vendrel.sparse_solver import SparseSolver

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from patterns import banded_pattern, laplacian_pattern  # noqa: E402,F401  (shared with the tests)


def tridiagonal(x):
    """Residuals of -u'' + u**3 on a uniform grid, zero at both ends (vectorised)."""
    r = 2.0 * x + x**3
    r[1:] -= x[:-1]
    r[:-1] -= x[1:]
    return r


class Tridiagonal(SparseSolver):
    def compute_residuals(self, x):
        return tridiagonal(x)
