"""Sparse Jacobian structure by finite differences.

`vendrel.sparse_solver.SparseSolver` finds the sparsity pattern of a residual
function's Jacobian and groups structurally orthogonal columns.
"""

import os as _os

__all__ = ["get_include"]


def get_include() -> str:
    """The folder that holds ``sparse_solver.h``, for C and C++ callers."""
    return _os.path.dirname(_os.path.abspath(__file__))
