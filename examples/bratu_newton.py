"""Newton's method on the Bratu problem with 100,489 unknowns, a sparse Jacobian per step.

    python examples/bratu_newton.py [side]

-Δu = 6 exp(u) on the unit square, u = 0 on its boundary, by the five-point stencil on a
side x side grid (317 by default). Each Jacobian costs six residual evaluations, not
side**2 + 1; SciPy's sparse LU solves each Newton step.
"""

import sys
import time
from typing import Callable, Tuple

import numpy as np
import numpy.typing as npt
import scipy.sparse
from scipy.sparse.linalg import splu

from vendrel.jacobian import SparseJacobian

FloatArray = npt.NDArray[np.float64]
Residual = Callable[[FloatArray], FloatArray]


def bratu(side: int, strength: float = 6.0) -> Tuple[Residual, "scipy.sparse.csr_array"]:
    """The residual function and the Jacobian's pattern on a side x side grid."""
    h = 1.0 / (side + 1)

    def residual(x: FloatArray) -> FloatArray:
        u = np.pad(x.reshape(side, side), 1)  # zero on the boundary
        laplacian = (u[:-2, 1:-1] + u[2:, 1:-1] + u[1:-1, :-2] + u[1:-1, 2:]
                     - 4 * u[1:-1, 1:-1]) / h**2
        r: FloatArray = (-laplacian - strength * np.exp(u[1:-1, 1:-1])).ravel()
        return r

    line = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(side, side))
    pattern = scipy.sparse.csr_array(scipy.sparse.kronsum(line, line, format="csr"))
    return residual, pattern


def main(side: int = 317) -> None:
    residual, pattern = bratu(side)
    start = time.perf_counter()
    jac = SparseJacobian(residual, pattern)
    x: FloatArray = np.zeros(side * side)
    linear = 0.0
    for step in range(1, 20):
        r = residual(x)
        J = jac(x, f0=r)
        begin = time.perf_counter()
        x = x - splu(J.tocsc()).solve(r)
        linear += time.perf_counter() - begin
        if float(np.linalg.norm(residual(x), np.inf)) < 1e-8:
            break
    total = time.perf_counter() - start
    print("unknowns:             %d" % (side * side))
    print("Newton steps:         %d" % step)
    print("max u:                %.4f" % float(x.max()))
    print("residual evaluations: %d for %d Jacobians (dense differences: %d)"
          % (jac.evaluations, step, step * (side * side + 1)))
    print("time:                 %.2f s, of which %.2f s in the sparse LU" % (total, linear))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 317)
