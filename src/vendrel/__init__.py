"""Sparse Jacobians of expensive functions by grouped finite differences, and what they are
for: columns that share no row are perturbed together, so that a Jacobian costs one
evaluation of the residual per group of columns instead of one per unknown.

- `vendrel.scipy`: SciPy's solvers (``solve_ivp``, ``least_squares``, ``root``, ``fsolve``,
  ``approx_derivative``) with these Jacobians: change the import and nothing else.
- `vendrel.jacobian`: `estimate_jacobian`, a reusable `SparseJacobian` and
  `detect_sparsity`, in the idiom of SciPy's ``approx_derivative``, on one process or many.
- `vendrel.solve`: `root`, Newton's method that spends as few evaluations as it can.
- `vendrel.hessian`: sparse Hessians from a gradient, by star and acyclic colourings.
- `vendrel.tracing`: the pattern from one traced call of NumPy code.
- `vendrel.grouping`: the fewest groups of columns (and symmetric colourings), in a
  compiled core.
- `vendrel.sparse_solver`: the compiled `SparseSolver` class and its C-level method table,
  for compiled callers.

``python -m vendrel`` runs a demonstration on a built-in example problem.
"""

import os as _os

__version__ = "0.1.0"

__all__ = ["__version__", "get_include"]


def get_include() -> str:
    """The folder that holds ``sparse_solver.h``, for C and C++ callers."""
    return _os.path.dirname(_os.path.abspath(__file__))
