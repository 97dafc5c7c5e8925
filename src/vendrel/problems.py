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


# The MINPACK-2 systems of nonlinear equations (Averick, Carter, Moré and Xue, 1992), for the
# solver's tests and benchmarks. Each has n, __call__(x), start() (the collection's standard
# starting point) and pattern(). Residuals are scaled as in the collection (by the cell area
# in 2-D, h^4 for the fourth-order cavity), so that max|F| means the same at every size.

__all__ += ["Bratu2D", "Bratu3D", "DrivenCavity", "ChannelFlow", "SwirlingFlow"]


def _csr(matrix: Any) -> Any:
    csr = getattr(scipy.sparse, "csr_array", scipy.sparse.csr_matrix)
    return csr(scipy.sparse.csr_matrix(matrix), dtype=bool)


def _grid_pattern(side: int, dimensions: int, reach: int) -> Any:
    """Every pair of grid points within `reach` steps of each other (Manhattan distance) on a
    side^dimensions grid: 5 and 13 points in 2-D for reach 1 and 2, 7 in 3-D for reach 1."""
    offsets = [o for o in np.ndindex(*(2 * reach + 1,) * dimensions)
               if sum(abs(k - reach) for k in o) <= reach]
    n = side ** dimensions
    index = np.arange(n).reshape((side,) * dimensions)
    rows, cols = [], []
    for offset in offsets:
        shift = [k - reach for k in offset]
        source = tuple(slice(max(0, -s), side - max(0, s)) for s in shift)
        target = tuple(slice(max(0, s), side - max(0, -s)) for s in shift)
        rows.append(index[source].ravel())
        cols.append(index[target].ravel())
    r, c = np.concatenate(rows), np.concatenate(cols)
    return _csr(scipy.sparse.coo_matrix((np.ones(len(r), dtype=bool), (r, c)), shape=(n, n)))


class Bratu2D:
    """Solid fuel ignition: -Δu = λ e^u on the unit square, u = 0 on its boundary.

    Five-point differences on a ``side x side`` interior grid, each residual scaled by the
    cell area h^2 (the collection's form). Solutions exist for λ up to about 6.81.
    """

    def __init__(self, side: int, strength: float = 6.0) -> None:
        self.side, self.n, self.strength = side, side * side, strength
        self.h = 1.0 / (side + 1)

    def __call__(self, x: FloatArray) -> FloatArray:
        u = np.pad(np.reshape(x, (self.side, self.side)), 1)
        inner = u[1:-1, 1:-1]
        residual: FloatArray = (4.0 * inner - u[:-2, 1:-1] - u[2:, 1:-1] - u[1:-1, :-2]
                                - u[1:-1, 2:] - self.h**2 * self.strength * np.exp(inner)).ravel()
        return residual

    def start(self) -> FloatArray:
        """λ / (λ + 1) times the square root of the distance to the boundary."""
        t = np.arange(1, self.side + 1) * self.h
        distance = np.minimum(t, 1.0 - t)
        start: FloatArray = (self.strength / (self.strength + 1.0)
                             * np.sqrt(np.minimum.outer(distance, distance))).ravel()
        return start

    def pattern(self) -> Any:
        return _grid_pattern(self.side, 2, 1)


class Bratu3D:
    """-Δu = λ e^u on the unit cube, u = 0 on its boundary, by seven-point differences on a
    ``side^3`` interior grid, scaled by h^2; the start is u = 0."""

    def __init__(self, side: int, strength: float = 6.0) -> None:
        self.side, self.n, self.strength = side, side**3, strength
        self.h = 1.0 / (side + 1)

    def __call__(self, x: FloatArray) -> FloatArray:
        u = np.pad(np.reshape(x, (self.side,) * 3), 1)
        c = u[1:-1, 1:-1, 1:-1]
        neighbours = (u[:-2, 1:-1, 1:-1] + u[2:, 1:-1, 1:-1] + u[1:-1, :-2, 1:-1]
                      + u[1:-1, 2:, 1:-1] + u[1:-1, 1:-1, :-2] + u[1:-1, 1:-1, 2:])
        residual: FloatArray = (6.0 * c - neighbours
                                - self.h**2 * self.strength * np.exp(c)).ravel()
        return residual

    def start(self) -> FloatArray:
        return np.zeros(self.n)

    def pattern(self) -> Any:
        return _grid_pattern(self.side, 3, 1)


class DrivenCavity:
    """Flow in a driven cavity: Δ²ψ - R (ψ_y (Δψ)_x - ψ_x (Δψ)_y) = 0 for the stream function
    ψ on the unit square, ψ = 0 and ∂ψ/∂n = 0 on the walls, except ∂ψ/∂y = 1 on the lid (the
    top). Central differences on a ``side x side`` interior grid, the normal derivatives by
    ghost points: a 13-point stencil, residuals scaled by h^4. The start is the fluid at rest.
    """

    def __init__(self, side: int, reynolds: float = 100.0) -> None:
        self.side, self.n, self.reynolds = side, side * side, reynolds
        self.h = 1.0 / (side + 1)

    def __call__(self, x: FloatArray) -> FloatArray:
        s, h = self.side, self.h
        # rows are y (bottom to top), columns x; walls at 1 and s + 2, ghosts at 0 and s + 3
        p = np.zeros((s + 4, s + 4), dtype=np.result_type(x, np.float64))
        p[2:-2, 2:-2] = np.reshape(x, (s, s))
        p[0, :], p[:, 0], p[:, -1] = p[2, :], p[:, 2], p[:, -3]
        p[-1, :] = p[-3, :] + 2.0 * h  # the lid: ∂ψ/∂y = 1
        p[-1, 0], p[-1, -1] = p[-1, 2], p[-1, -3]
        # Δψ (times h^2) on the interior and the walls
        lap = (p[:-2, 1:-1] + p[2:, 1:-1] + p[1:-1, :-2] + p[1:-1, 2:] - 4.0 * p[1:-1, 1:-1])
        bilap = (lap[:-2, 1:-1] + lap[2:, 1:-1] + lap[1:-1, :-2] + lap[1:-1, 2:]
                 - 4.0 * lap[1:-1, 1:-1])
        psi_y = (p[3:-1, 2:-2] - p[1:-3, 2:-2]) * 0.5
        psi_x = (p[2:-2, 3:-1] - p[2:-2, 1:-3]) * 0.5
        lap_x = (lap[1:-1, 2:] - lap[1:-1, :-2]) * 0.5
        lap_y = (lap[2:, 1:-1] - lap[:-2, 1:-1]) * 0.5
        # psi_y is h ψ_y and lap_x is h^3 (Δψ)_x: their product is h^4 times the term itself.
        residual: FloatArray = (bilap - self.reynolds * (psi_y * lap_x - psi_x * lap_y)).ravel()
        return residual

    def start(self) -> FloatArray:
        return np.zeros(self.n)

    def pattern(self) -> Any:
        return _grid_pattern(self.side, 2, 2)


class _BoxScheme:
    """A two-point boundary value problem y' = g(y) on [0, 1] as a first-order system of k
    components on `points` points, by the trapezoidal (box) scheme. Unknowns run point by
    point; the equations are the left boundary conditions, then k per interval, then the
    right ones, so that the Jacobian is a band of blocks."""

    k = 0
    #: the components each derivative g_c depends on
    depends: "list[list[int]]" = []
    #: (component, value) fixed at the left end, and at the right
    left: "list[tuple[int, float]]" = []
    right: "list[tuple[int, float]]" = []

    def __init__(self, points: int) -> None:
        if points < 2:
            raise ValueError("points must be at least 2, not %d" % points)
        self.points, self.n = points, points * self.k
        self.h = 1.0 / (points - 1)
        self.t = np.linspace(0.0, 1.0, points)

    def derivative(self, y: FloatArray) -> FloatArray:
        raise NotImplementedError

    def __call__(self, x: FloatArray) -> FloatArray:
        y = np.reshape(x, (self.points, self.k))
        g = self.derivative(y)
        box = (y[1:] - y[:-1]) - 0.5 * self.h * (g[1:] + g[:-1])
        left = np.array([y[0, c] - v for c, v in self.left])
        right = np.array([y[-1, c] - v for c, v in self.right])
        residual: FloatArray = np.concatenate([left, box.ravel(), right])
        return residual

    def pattern(self) -> Any:
        k, intervals = self.k, np.arange(self.points - 1)
        rows: "list[npt.NDArray[np.intp]]" = []
        cols: "list[npt.NDArray[np.intp]]" = []
        for row, (c, _) in enumerate(self.left):
            rows.append(np.array([row]))
            cols.append(np.array([c]))
        base = len(self.left) + k * intervals
        for c in range(k):
            for d in sorted(set(self.depends[c]) | {c}):
                for step in (0, 1):
                    rows.append(base + c)
                    cols.append(k * (intervals + step) + d)
        last = len(self.left) + k * (self.points - 1)
        for row, (c, _) in enumerate(self.right):
            rows.append(np.array([last + row]))
            cols.append(np.array([k * (self.points - 1) + c]))
        r, c_ = np.concatenate(rows), np.concatenate(cols)
        return _csr(scipy.sparse.coo_matrix((np.ones(len(r), dtype=bool), (r, c_)),
                                            shape=(self.n, self.n)))


class ChannelFlow(_BoxScheme):
    """Flow in a channel: u'''' = R (u' u'' - u u''') on [0, 1], u(0) = u'(0) = 0, u(1) = 1,
    u'(1) = 0, as the system (u, u', u'', u''') on `points` points (n = 4 points). The start
    is the collection's: u = t^2 (3 - 2t), which meets the boundary conditions."""

    k = 4
    depends = [[1], [2], [3], [0, 1, 2, 3]]
    left = [(0, 0.0), (1, 0.0)]
    right = [(0, 1.0), (1, 0.0)]

    def __init__(self, points: int, reynolds: float = 10.0) -> None:
        super().__init__(points)
        self.reynolds = reynolds

    def derivative(self, y: FloatArray) -> FloatArray:
        u, u1, u2, u3 = y.T
        return np.stack([u1, u2, u3, self.reynolds * (u1 * u2 - u * u3)], axis=1)

    def start(self) -> FloatArray:
        t = self.t
        start: FloatArray = np.stack([t * t * (3.0 - 2.0 * t), 6.0 * t * (1.0 - t),
                                      6.0 - 12.0 * t, np.full_like(t, -12.0)], axis=1).ravel()
        return start


class SwirlingFlow(_BoxScheme):
    """Swirling flow between two rotating disks: ε f'''' + f f''' + g g' = 0 and
    ε g'' + f g' - f' g = 0 on [0, 1], f = f' = 0 at both ends, g(0) = Ω0, g(1) = Ω1, as the
    system (f, f', f'', f''', g, g') on `points` points (n = 6 points). The start is the
    collection's: f = 0 and g linear between the disks' speeds."""

    k = 6
    depends = [[1], [2], [3], [0, 3, 4, 5], [5], [0, 1, 4, 5]]
    left = [(0, 0.0), (1, 0.0), (4, -1.0)]
    right = [(0, 0.0), (1, 0.0), (4, 1.0)]

    def __init__(self, points: int, epsilon: float = 0.05) -> None:
        super().__init__(points)
        self.epsilon = epsilon

    def derivative(self, y: FloatArray) -> FloatArray:
        f, f1, f2, f3, g, g1 = y.T
        return np.stack([f1, f2, f3, -(f * f3 + g * g1) / self.epsilon, g1,
                         -(f * g1 - f1 * g) / self.epsilon], axis=1)

    def start(self) -> FloatArray:
        y = np.zeros((self.points, self.k))
        omega0, omega1 = self.left[2][1], self.right[2][1]
        y[:, 4] = omega0 + (omega1 - omega0) * self.t
        y[:, 5] = omega1 - omega0
        start: FloatArray = y.ravel()
        return start
