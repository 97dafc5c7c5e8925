"""Estimate a sparse Jacobian with grouped finite differences.

    python examples/jacobian_estimate.py

The residual function couples each unknown with its two neighbours, so its Jacobian
is tridiagonal: three groups of columns suffice however many unknowns there are.
"""

import contextlib
import io

import numpy as np
import numpy.typing as npt

from vendrel.jacobian import estimate_jacobian
from vendrel.sparse_solver import SparseSolver


class Chain(SparseSolver):
    """r_i = 2 x_i - x_{i-1} - x_{i+1} + x_i**3 (zero beyond both ends)."""

    def compute_residuals(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        r: npt.NDArray[np.float64] = 2.0 * x + x**3
        r[1:] -= x[:-1]
        r[:-1] -= x[1:]
        return r


def main() -> None:
    n = 50
    solver = Chain()
    x0 = np.linspace(0.0, 1.0, n).astype(np.float64)
    trace = io.StringIO()
    with contextlib.redirect_stdout(trace):  # the module's running account of its work
        rows, cols = solver.compute_pattern(x0)
        groups = solver.find_groups(rows, cols)
    jacobian = estimate_jacobian(solver, x0, sparsity=(rows, cols), groups=groups)
    print("unknowns:", n)
    print("nonzeros:", jacobian.nnz)
    print("evaluations:", len(groups) + 1, "instead of", n + 1)
    print("J[0:3, 0:3] =")
    print(np.round(jacobian.toarray()[:3, :3], 6))


if __name__ == "__main__":
    main()
