"""Minimise a surface's area on a grid with Newton-CG and a sparse Hessian from the gradient.

    python examples/minimal_surface.py [side]

The area of the graph of u over a side x side grid of the unit square, with u fixed at
sin(pi x) + sin(pi y) on the boundary, summed over the grid's cells as sqrt(1 + |grad u|^2)
by forward differences. Its Hessian is the 5-point stencil's plus the diagonal neighbours of
each cell; a star colouring of it needs a handful of colours however large the grid, so each
Hessian costs a handful of gradient evaluations, where SciPy's default differences the
gradient once per conjugate-gradient step.
"""

import sys

import numpy as np
import scipy.sparse
from scipy.optimize import minimize

from vendrel.hessian import SparseHessian


class Surface:
    def __init__(self, side: int) -> None:
        self.side = side
        self.h = 1.0 / (side + 1)
        t = np.linspace(0.0, 1.0, side + 2)
        frame = np.sin(np.pi * t)[:, None] + np.sin(np.pi * t)[None, :]
        self.frame = frame  # interior values are replaced by the unknowns

    def full(self, u: np.ndarray) -> np.ndarray:
        v = self.frame.copy()
        v[1:-1, 1:-1] = u.reshape(self.side, self.side)
        return v

    def area(self, u: np.ndarray) -> float:
        v = self.full(u)
        dx, dy = (v[1:, :-1] - v[:-1, :-1]) / self.h, (v[:-1, 1:] - v[:-1, :-1]) / self.h
        return float(np.sum(np.sqrt(1.0 + dx**2 + dy**2)) * self.h**2)

    def gradient(self, u: np.ndarray) -> np.ndarray:
        v = self.full(u)
        dx, dy = (v[1:, :-1] - v[:-1, :-1]) / self.h, (v[:-1, 1:] - v[:-1, :-1]) / self.h
        w = self.h / np.sqrt(1.0 + dx**2 + dy**2)
        g = np.zeros_like(v)
        g[1:, :-1] += w * dx
        g[:-1, 1:] += w * dy
        g[:-1, :-1] -= w * (dx + dy)
        return g[1:-1, 1:-1].reshape(-1)

    def pattern(self) -> scipy.sparse.csr_array:
        """Unknowns that share a cell: the 5-point stencil and one diagonal."""
        n = self.side
        path = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(n, n))
        eye = scipy.sparse.eye(n)
        stencil = scipy.sparse.kron(path, eye) + scipy.sparse.kron(eye, path)
        shift = scipy.sparse.kron(scipy.sparse.diags([1.0], [1], shape=(n, n)),
                                  scipy.sparse.diags([1.0], [-1], shape=(n, n)))
        return scipy.sparse.csr_array((stencil + shift + shift.T) != 0)


def main() -> None:
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    surface = Surface(side)
    n = side * side
    gradients = [0]

    def counted(u: np.ndarray) -> np.ndarray:
        gradients[0] += 1
        return surface.gradient(u)

    hess = SparseHessian(counted, surface.pattern())
    # hessp: Newton-CG takes a sparse hess= only from SciPy 1.11 on; the products serve every
    # release, from the same Hessian per point.
    result = minimize(surface.area, np.zeros(n), jac=counted, hessp=hess.hessp,
                      method="Newton-CG")
    print("unknowns: %d, star colours: %d" % (n, hess.grouping.count))
    print("Newton steps: %d, gradient evaluations: %d (SparseHessian made %d)"
          % (result.nit, gradients[0], hess.evaluations))
    print("area: %.6f, largest gradient entry: %.1e" % (result.fun, np.abs(result.jac).max()))
    default = [0]

    def counted_default(u: np.ndarray) -> np.ndarray:
        default[0] += 1
        return surface.gradient(u)

    plain = minimize(surface.area, np.zeros(n), jac=counted_default, method="Newton-CG")
    print("SciPy's Newton-CG without a Hessian: %d gradient evaluations, area %.6f"
          % (default[0], plain.fun))


if __name__ == "__main__":
    main()
