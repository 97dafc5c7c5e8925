"""Residual functions written the way users write them, for the tracing tests.

Each case is (name, fun, n, args); `fun(x, *args)` takes a float64 array of n unknowns (the
2-D and 3-D grids reshape it themselves) and returns the residuals. Cases in EXACT have no
entry that vanishes structurally, so the traced pattern must equal the union of what
perturbation finds at a few random points; the others contain it.
"""

import math

import numpy as np
import scipy.sparse

from vendrel.sparse_solver import SparseSolver


def bratu(x, lam):
    """1-D boundary-value problem, interior by slices, ends by np.concatenate."""
    h = 1.0 / (len(x) + 1)
    interior = x[:-2] - 2.0 * x[1:-1] + x[2:] + h * h * lam * np.exp(x[1:-1])
    return np.concatenate([[x[0] - 0.0], interior, [x[-1] - 1.0]])


def bvp_filled(x):
    """The same kind of problem written into an empty_like array, with the ends by index."""
    r = np.empty_like(x)
    r[0] = x[0]
    r[1:-1] = x[:-2] - 2 * x[1:-1] + x[2:] - 0.1 * x[1:-1] ** 3
    r[-1] = x[-1] - 1
    return r


def grid_5point(x):
    """2-D five-point residual with in-place shifted updates (the benchmark's)."""
    side = math.isqrt(len(x))
    u = x.reshape(side, side)
    r = 4.0 * u + u**3
    r[1:] -= u[:-1]
    r[:-1] -= u[1:]
    r[:, 1:] -= u[:, :-1]
    r[:, :-1] -= u[:, 1:]
    return r.reshape(-1)


def grid_padded(x):
    """2-D Laplacian of a padded copy (Dirichlet zeros), a source term and a view written to."""
    side = math.isqrt(len(x))
    u = np.pad(x.reshape(side, side), 1)
    lap = u[:-2, 1:-1] + u[2:, 1:-1] + u[1:-1, :-2] + u[1:-1, 2:] - 4 * u[1:-1, 1:-1]
    r = np.zeros_like(x)
    view = r.reshape(side, side)
    view[...] = lap + np.sinh(u[1:-1, 1:-1])
    return r


def grid_periodic_3d(x):
    """3-D seven-point stencil with periodic boundaries through np.roll."""
    side = round(len(x) ** (1 / 3))
    u = x.reshape(side, side, side)
    lap = -6 * u
    for axis in range(3):
        lap = lap + np.roll(u, 1, axis=axis) + np.roll(u, -1, axis=axis)
    return (lap - u**2).ravel()


def kinetics(x, rates):
    """Chemical kinetics: pairwise reactions along a chain and mass conservation (a dense row)."""
    forward = rates[:-1] * x[:-1] * x[1:]
    r = -rates * x
    r[:-1] -= forward
    r[1:] += forward
    r[0] = np.sum(x) - 1.0
    return r


def least_squares(p, t, y):
    """Model fitting, m > n: two exponentials and a sine, every residual depends on all p."""
    model = p[0] * np.exp(-p[1] * t) + p[2] * np.exp(-p[3] * t) + p[4] * np.sin(p[5] * t)
    return model - y


def least_squares_blocks(p, t, y):
    """m > n with a block structure: each block of data is fitted by its own pair of p."""
    a = p[0::2][:, None]
    b = p[1::2][:, None]
    return (a * np.exp(-b * t[None, :]) - y).ravel()


def laplacian_edges(x, heads, tails):
    """Graph Laplacian by fancy indexing and np.add.at over an edge list."""
    flux = np.tanh(x[heads] - x[tails])
    r = x**3
    np.add.at(r, heads, flux)
    np.subtract.at(r, tails, flux)
    return r


def laplacian_sparse(x, laplacian):
    """The same graph through a scipy.sparse Laplacian on both sides of @."""
    return laplacian @ x + (x @ laplacian.T) * 0.5 + x**2


def sparse_dot_forms(x, matrix):
    """A.dot(x), x @ A.T and a sparse matrix times a 2-D block of x."""
    square = x[: matrix.shape[1]]
    block = x[: 2 * matrix.shape[1]].reshape(matrix.shape[1], 2)
    return np.concatenate([matrix.dot(square), (square @ matrix.T) ** 2,
                           (matrix @ block).ravel()])


def spmatrix_star(x, matrix):
    """scipy.sparse matrix (not array) * x is the matrix product."""
    return matrix * x - x


def in_place(x):
    """In-place operators on slices, strided views, a fancy index and a boolean mask."""
    r = x.copy()
    r *= 2.0
    r[1:] -= x[:-1]
    r[::2] += x[::2] ** 2
    r[[0, 3]] = x[[3, 0]]
    mask = np.arange(len(x)) % 3 == 0
    r[mask] += np.abs(x[mask])
    np.multiply(r, 1.5, out=r)
    return r


def element_loop(x):
    """A Python loop over elements, math through NumPy's ufuncs on scalars."""
    n = len(x)
    r = np.zeros_like(x)
    for i in range(n):
        r[i] = x[i] * x[(i + 1) % n] - np.sin(x[i - 1]) + 2.0
    return r


def recurrence_loop(x):
    """A loop that reads what it wrote: a running sum feeding the next residual."""
    r = np.empty_like(x)
    total = 0.0
    for i in range(len(x)):
        total = total + x[i]
        r[i] = x[i] ** 2 - total
    return r


def slice_loop(x):
    """A loop over small slices, updating in place and choosing with np.where on scalars."""
    r = np.zeros_like(x)
    for i in range(1, len(x) - 1):
        r[i - 1:i + 2] += x[i] * x[i - 1:i + 2]
        r[i] = np.where(x[i] > 0, r[i], np.clip(x[i + 1], -1.0, 1.0))
    return r


def listed(x):
    """np.array([...]) of traced expressions, a small system written out by hand."""
    return np.array([x[0] ** 2 + x[1] - 1.0, x[0] * x[2], np.exp(x[2]) - x[1], 3.0 * x[3]])


def tuple_of_scalars(x):
    """A tuple mixing traced scalars and a constant."""
    return (x[0] - 1.0, x[1] * x[2], 7.0, np.cos(x[3]))


def matrix_input(x):
    """Axis reductions of a 2-D view: row sums, column maxima, a norm and a mean."""
    u = x.reshape(4, 5)
    return np.concatenate([u.sum(axis=1) - u[:, 0] ** 2, np.max(u, axis=0) * u[0],
                           [np.linalg.norm(u[1]) - u.mean()], u.prod(axis=0)])


def products(x, dense):
    """Dense constant products: a banded matrix (structural zeros), einsum and outer."""
    v = x[: dense.shape[1]]
    return np.concatenate([dense @ v, np.einsum("ij,j->i", dense, v) * v[0],
                           [np.einsum("i,i->", v, v)], np.outer(x[:2], x[2:4]).ravel(),
                           v @ dense.T, np.dot(v, dense.T)])


def branches_vectorised(x):
    """Choices without branching: where, clip, maximum, select, comparisons as numbers."""
    return (np.where(x > 0, x**2, -x) + np.clip(x, -1, 1) + np.maximum(x, 0.5)
            + np.select([x < -1, x > 1], [x, 2 * x], default=0.0) + (x > 0.3) * 1.0)


def rearrangements(x):
    """stack, tile, repeat, flip, roll, diff, cumsum, transpose and hstack/vstack."""
    a, b = x[:4], x[4:8]
    pieces = [np.stack([a, b]).T.ravel(), np.tile(a[:2], 2), np.repeat(b[:2], 2),
              np.flip(a), np.roll(b, 1), np.diff(x, 2), np.cumsum(a),
              np.hstack([a[:1], b[-1:]]), np.vstack([a, b])[:, 1]]
    return np.concatenate(pieces)


def constant_rows(x):
    """Residuals that do not depend on x at all, next to traced ones."""
    return np.concatenate([x[:3] ** 2, np.ones(2), np.zeros_like(x[:2])])


def vanishing(x):
    """r0 = x0 * x1: at x1 = 0 the entry (0, 0) vanishes, though it is in the pattern."""
    return np.array([x[0] * x[1], x[1] + x[2], x[2] ** 2])


def perturbation_pattern(fun, x, args=()):
    """Which residuals change, exactly, when each unknown alone is raised."""
    base = _flat(fun(x.copy(), *args))
    steps = 1e-3 * (1.0 + np.abs(x))
    points = x + np.diag(steps)  # row j is x + h_j e_j
    return np.array([_changed(_flat(fun(point, *args)), base) for point in points]).T.reshape(
        base.size, x.size)


def _changed(after, before):
    """Exactly unequal, NaN before and after counting as no change (as detect_sparsity does)."""
    return (after != before) & ~(np.isnan(after) & np.isnan(before))


def found_by_perturbation(fun, n, args=(), count=3, seed=0):
    """The union of the perturbation patterns at `count` seeded random points."""
    rng = np.random.default_rng(seed)
    found = None
    for _ in range(count):
        seen = perturbation_pattern(fun, rng.uniform(-2.0, 2.0, n), args)
        found = seen if found is None else found | seen
    return found


def _flat(value):
    return np.asarray(value, dtype=float).ravel()


class Chain(SparseSolver):
    """A SparseSolver subclass, as the README writes one."""

    def compute_residuals(self, x):
        r = x**2
        r[:-1] -= x[1:]
        return r


def _laplacian(n, seed):
    rng = np.random.default_rng(seed)
    heads = rng.integers(0, n, 3 * n)
    tails = (heads + rng.integers(1, n, 3 * n)) % n
    weights = scipy.sparse.coo_matrix((np.ones(3 * n), (heads, tails)), shape=(n, n)).tocsr()
    weights = weights + weights.T
    degree = scipy.sparse.diags(np.asarray(weights.sum(axis=1)).ravel())
    return heads, tails, scipy.sparse.csr_array(degree - weights)


def _banded(rows, cols):
    dense = np.zeros((rows, cols))
    for k in (-1, 0, 2):
        dense += np.eye(rows, cols, k) * (k + 3)
    return dense


_HEADS, _TAILS, _LAPLACIAN = _laplacian(30, 1)
_T = np.linspace(0.1, 3, 40)
_RATES = np.linspace(0.5, 2.0, 12)
_SPARSE = scipy.sparse.random(8, 10, density=0.3, random_state=2, format="csr")

CASES = [
    ("bratu", bratu, 20, (1.5,)),
    ("bvp_filled", bvp_filled, 15, ()),
    ("grid_5point", grid_5point, 36, ()),
    ("grid_padded", grid_padded, 25, ()),
    ("grid_periodic_3d", grid_periodic_3d, 64, ()),
    ("kinetics", kinetics, 12, (_RATES,)),
    ("least_squares", least_squares, 6, (_T, np.cos(_T))),
    ("least_squares_blocks", least_squares_blocks, 6, (_T[:7], np.ones((3, 7)))),
    ("laplacian_edges", laplacian_edges, 30, (_HEADS, _TAILS)),
    ("laplacian_sparse", laplacian_sparse, 30, (_LAPLACIAN,)),
    ("sparse_dot_forms", sparse_dot_forms, 20, (scipy.sparse.csr_array(_SPARSE),)),
    ("spmatrix_star", spmatrix_star, 10, (scipy.sparse.csr_matrix(_SPARSE.T @ _SPARSE),)),
    ("in_place", in_place, 11, ()),
    ("element_loop", element_loop, 13, ()),
    ("recurrence_loop", recurrence_loop, 9, ()),
    ("slice_loop", slice_loop, 10, ()),
    ("listed", listed, 4, ()),
    ("tuple_of_scalars", tuple_of_scalars, 4, ()),
    ("matrix_input", matrix_input, 20, ()),
    ("products", products, 9, (_banded(7, 9),)),
    ("branches_vectorised", branches_vectorised, 10, ()),
    ("rearrangements", rearrangements, 10, ()),
    ("constant_rows", constant_rows, 5, ()),
]

# Cases where perturbation at a few points need not find every structural entry: a maximum
# depends on each element of its column, but at any one point only on the largest.
NOT_EXACT = {"branches_vectorised", "matrix_input", "slice_loop"}
