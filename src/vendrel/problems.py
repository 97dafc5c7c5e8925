"""Built-in example problems: residual functions with known sparsity, for demonstrations,
documentation and benchmarks.

Examples
--------
>>> from vendrel.problems import Poisson2D
>>> problem = Poisson2D(side=4)
>>> problem.n, problem.pattern().shape, problem.pattern().nnz
(16, (16, 16), 64)
"""

from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse

__all__ = ["Poisson2D"]

FloatArray = npt.NDArray[np.float64]


class Poisson2D:
    """-Δu + u**3 = 1 on the unit square, zero on its boundary, by the 5-point stencil.

    The unknowns are u at the ``side x side`` interior grid points, numbered row by row, so
    each residual depends on its own point and its four neighbours: a Jacobian of five
    entries per row, which five groups of columns recover.
    """

    def __init__(self, side: int) -> None:
        if side < 1:
            raise ValueError("side must be at least 1, not %d" % side)
        self.side = side
        self.n = side * side
        self.h = 1.0 / (side + 1)

    def __call__(self, x: FloatArray) -> FloatArray:
        """The residuals at x, a vector of n values."""
        u = np.zeros((self.side + 2, self.side + 2), dtype=np.result_type(x, np.float64))
        u[1:-1, 1:-1] = np.reshape(x, (self.side, self.side))
        laplacian = (u[:-2, 1:-1] + u[2:, 1:-1] + u[1:-1, :-2] + u[1:-1, 2:]
                     - 4.0 * u[1:-1, 1:-1]) / self.h**2
        residual: FloatArray = (-laplacian + u[1:-1, 1:-1] ** 3 - 1.0).ravel()
        return residual

    def start(self) -> FloatArray:
        """A starting point: a smooth bump, zero at the boundary."""
        t = np.linspace(self.h, 1.0 - self.h, self.side)
        bump: FloatArray = np.outer(np.sin(np.pi * t), np.sin(np.pi * t)).ravel() / 8.0
        return bump

    def pattern(self) -> Any:
        """The Jacobian's pattern, a boolean CSR array of shape (n, n)."""
        line = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(self.side, self.side))
        laplacian = scipy.sparse.kronsum(line, line, format="csr")
        csr = getattr(scipy.sparse, "csr_array", scipy.sparse.csr_matrix)
        return csr(laplacian, dtype=bool)
