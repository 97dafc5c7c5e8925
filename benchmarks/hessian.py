"""Benchmark of vendrel.hessian: colours against the known counts and CasADi, gradient
evaluations against SciPy's dense difference, and solves with SciPy's minimize.

    python benchmarks/hessian.py            # the full set (a few minutes)
    python benchmarks/hessian.py --quick    # smaller sizes, for a smoke run

Colours: every colouring is checked by recovering a random symmetric matrix of its pattern
from its compressed product (star directly, acyclic by substitution) before it is reported.
CasADi's ``Sparsity.star_coloring`` (PyPI ``casadi``, if installed) is run with both of its
orderings and the fewer colours kept. Times are of one call each, ours and the reference in
the same run; the ratio is what the table reports.
"""

import argparse
import importlib.metadata
import platform
import sys
import time

import numpy as np
import scipy
import scipy.sparse
from scipy.optimize import minimize
from scipy.optimize._numdiff import approx_derivative

from vendrel.grouping import column_grouping, symmetric_grouping
from vendrel.hessian import SparseHessian

try:
    import casadi
except ImportError:  # optional: its column is left empty
    casadi = None

CASADI_LARGEST = 200_000  # CasADi's colouring is not run beyond this many columns


def band(n, rho):
    half = rho // 2
    return scipy.sparse.diags([np.ones(n - abs(k)) for k in range(-half, half + 1)],
                              list(range(-half, half + 1)), format="csc") != 0


def grid(side):
    path = scipy.sparse.diags([np.ones(side - 1), np.ones(side), np.ones(side - 1)], [-1, 0, 1])
    eye = scipy.sparse.eye(side)
    return (scipy.sparse.kron(path, eye) + scipy.sparse.kron(eye, path)).tocsc() != 0


def arrowhead(n, k, body):
    a = band(n, 2 * body).tolil()
    a[:k, :] = True
    a[:, :k] = True
    return a.tocsc() != 0


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def checked(pattern, g):
    """g, after recovering a random symmetric matrix of the pattern by g's method."""
    rng = np.random.default_rng(0)
    upper = scipy.sparse.triu(pattern, format="csr").astype(float)
    upper.data = rng.integers(1, 9, size=upper.nnz).astype(float)
    H = (upper + scipy.sparse.triu(upper, 1, format="csr").T).tocsr()
    got = g.decompress(H @ g.seed_matrix(), "csr")
    assert abs(got - H).max() <= 1e-9 * abs(H).max(), "%s colouring does not recover" % g.kind
    return g


def casadi_star(pattern):
    if casadi is None or pattern.shape[0] > CASADI_LARGEST:
        return None, None
    csc = scipy.sparse.csc_array(pattern)
    s = casadi.Sparsity(csc.shape[0], csc.shape[1], csc.indptr.tolist(), csc.indices.tolist())
    best, seconds = None, 0.0
    for ordering in (0, 1):
        colours, took = timed(lambda: s.star_coloring(ordering, 2**30).size2())
        if best is None or colours < best:
            best, seconds = colours, took
    return best, seconds


def colours_table(quick):
    n = 10_000 if quick else 100_000
    side = 100 if quick else 1000
    cases = [("band rho=%d, n=%d" % (rho, n), band(n, rho), 2 * (rho // 2) + 1, rho // 2 + 1)
             for rho in (2, 4, 6, 10)]
    cases += [("2-D 5-point grid, n=%d" % (s * s), grid(s), 5, 3)
              for s in sorted({100, 300, side})]
    arrows = 2_000 if quick else 10_000
    cases += [("arrowhead k=%d %s body, n=%d" % (k, body, arrows),
               arrowhead(arrows, k, int(body == "tridiagonal")),
               k + 1 if body == "diagonal" else k + 3, None)
              for k in (1, 3) for body in ("diagonal", "tridiagonal")]
    print("\n## Colours\n")
    print("| pattern | star | star bound | acyclic | acyclic bound | CasADi star | column groups "
          "| star time / column grouping time (best) | (natural) | CasADi time / star time |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, pattern, star_bound, acyclic_bound in cases:
        star, star_time = timed(lambda: symmetric_grouping(pattern, "star"))
        acyclic = symmetric_grouping(pattern, "acyclic")
        checked(pattern, star)
        checked(pattern, acyclic)
        columns, column_time = timed(lambda: column_grouping(pattern))
        _, natural_time = timed(lambda: symmetric_grouping(pattern, "star", "natural"))
        _, column_natural_time = timed(lambda: column_grouping(pattern, "natural"))
        theirs, their_time = casadi_star(pattern)
        print("| %s | %d | %s | %d | %s | %s | %d | %.2f | %.2f | %s |" % (
            name, star.count, ("<= %d" if "tridiagonal" in name else "= %d") % star_bound,
            acyclic.count, "-" if acyclic_bound is None else "= %d" % acyclic_bound,
            "-" if theirs is None else theirs, columns.count, star_time / column_time,
            natural_time / column_natural_time,
            "-" if their_time is None else "%.2f" % (their_time / star_time)))


# Chained Rosenbrock: f = sum 100 (x[i+1] - x[i]^2)^2 + (1 - x[i])^2, a tridiagonal Hessian.

def fun(x):
    return np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2)


def grad(x):
    g = np.zeros_like(x)
    t = x[1:] - x[:-1] ** 2
    g[:-1] = -400.0 * x[:-1] * t - 2.0 * (1.0 - x[:-1])
    g[1:] += 200.0 * t
    return g


def hess(x):
    n = len(x)
    diag = np.zeros_like(x)
    diag[:-1] = 1200.0 * x[:-1] ** 2 - 400.0 * x[1:] + 2.0
    diag[1:] += 200.0
    off = -400.0 * x[:-1]
    return scipy.sparse.diags([off, diag, off], [-1, 0, 1], shape=(n, n), format="csr")


class Counted:
    def __init__(self, func):
        self.func, self.calls = func, 0

    def __call__(self, x, *args):
        self.calls += 1
        return self.func(x, *args)


def evaluations_table(quick):
    n = 500 if quick else 2000
    x = np.linspace(-1.2, 1.3, n)
    exact = hess(x).toarray()
    scale = np.abs(exact).max()
    print("\n## Gradient evaluations and error per Hessian (chained Rosenbrock, n=%d)\n" % n)
    print("| method | gradient evaluations | max error / max entry |")
    print("|---|---|---|")
    for method in ("2-point", "3-point"):
        counted = Counted(grad)
        dense = approx_derivative(counted, x, method=method)
        print("| SciPy dense %s | %d | %.1e |" % (method, counted.calls,
                                                np.abs(dense - exact).max() / scale))
        for coloring in ("star", "acyclic"):
            h = SparseHessian(grad, hess(x) != 0, method=method, coloring=coloring)
            got = h(x).toarray()
            print("| vendrel %s, %s | %d | %.1e |" % (method, coloring, h.evaluations,
                                                    np.abs(got - exact).max() / scale))
    h = SparseHessian(grad, hess(x) != 0, method="cs")
    got = h(x.astype(float)).toarray()
    print("| vendrel cs, star | %d | %.1e |" % (h.evaluations, np.abs(got - exact).max() / scale))


# Extended Rosenbrock: pairs (x[2i], x[2i+1]) of the 2-D function, a block-diagonal Hessian.

def extended(x):
    a, b = x[0::2], x[1::2]
    return np.sum(100.0 * (b - a**2) ** 2 + (1.0 - a) ** 2)


def extended_grad(x):
    a, b = x[0::2], x[1::2]
    g = np.empty_like(x)
    g[0::2] = -400.0 * a * (b - a**2) - 2.0 * (1.0 - a)
    g[1::2] = 200.0 * (b - a**2)
    return g


def extended_pattern(n):
    return scipy.sparse.block_diag([np.ones((2, 2))] * (n // 2), format="csc") != 0


# A minimal-surface-like problem on a side x side grid: sum over the grid's edges of
# sqrt(1 + (u_a - u_b)^2), plus a weak pull 1e-3 * |u - g|^2 / 2 towards g = sin(pi x) sin(pi y).
# Its Hessian is the 5-point stencil's and ill-conditioned: conjugate gradients take many steps.

class Surface:
    def __init__(self, side):
        self.side = side
        t = np.linspace(0.0, 1.0, side)
        self.target = (np.sin(np.pi * t)[:, None] * np.sin(np.pi * t)[None, :]).reshape(-1)

    def fun(self, u):
        v = u.reshape(self.side, self.side)
        dx, dy = v[1:] - v[:-1], v[:, 1:] - v[:, :-1]
        return (np.sum(np.sqrt(1.0 + dx**2)) + np.sum(np.sqrt(1.0 + dy**2))
                + 0.5e-3 * np.sum((u - self.target) ** 2))

    def grad(self, u):
        v = u.reshape(self.side, self.side)
        g = 1e-3 * (u - self.target).reshape(self.side, self.side)
        dx, dy = v[1:] - v[:-1], v[:, 1:] - v[:, :-1]
        wx, wy = dx / np.sqrt(1.0 + dx**2), dy / np.sqrt(1.0 + dy**2)
        g[1:] += wx
        g[:-1] -= wx
        g[:, 1:] += wy
        g[:, :-1] -= wy
        return g.reshape(-1)

    def pattern(self):
        return grid(self.side)


def solve(n, method, hess_option, problem=None):
    if problem is None:
        f, g, x0 = extended, extended_grad, np.tile([-1.2, 1.0], n // 2)
    else:
        f, g, x0 = problem.fun, problem.grad, np.zeros(n)
    counted = Counted(g)
    result, seconds = timed(lambda: minimize(f, x0, jac=counted, method=method,
                                             options={"maxiter": 5000}, **hess_option))
    extra = hess_option.get("hess") or getattr(hess_option.get("hessp"), "__self__", None)
    made = extra.evaluations if isinstance(extra, SparseHessian) else 0
    error = np.abs(result.x - 1.0).max() if problem is None else np.linalg.norm(
        problem.grad(result.x), np.inf)
    return counted.calls + made, seconds, error, result.nit


def solves_table(quick):
    big = 2_000 if quick else 10_000
    small = 300 if quick else 1_000
    print("\n## Solves with scipy.optimize.minimize\n")
    print("Extended Rosenbrock from (-1.2, 1, ...): the last column but one is max |x - 1|; "
          "minimal-surface-like grid from 0: it is the gradient's largest entry at the end.\n")
    print("| problem, method, n | Hessian | gradient evaluations | iterations | seconds | error "
          "| ratio of evaluations | ratio of time |")
    print("|---|---|---|---|---|---|---|---|")
    sides = [50] if quick else [100, 316]
    runs = [
        ("Rosenbrock, Newton-CG", big, None,
         {"hess": SparseHessian(extended_grad, extended_pattern(big))},
         "SparseHessian (star)", {}, "default (difference per CG step)"),
        ("Rosenbrock, trust-constr", small, None,
         {"hess": SparseHessian(extended_grad, extended_pattern(small))},
         "SparseHessian (star)", {"hess": "2-point"}, 'hess="2-point"'),
    ]
    for side in sides:
        surface = Surface(side)
        runs += [
            ("surface, Newton-CG", side * side, surface,
             {"hess": SparseHessian(surface.grad, surface.pattern())}, "SparseHessian (star)",
             {}, "default (difference per CG step)"),
            ("surface, trust-constr", side * side, surface,
             {"hess": SparseHessian(surface.grad, surface.pattern())}, "SparseHessian (star)",
             {"hess": "2-point"}, 'hess="2-point"'),
        ]
    for name, n, problem, ours, ours_name, theirs, theirs_name in runs:
        a = solve(n, name.split(", ")[1], ours, problem)
        b = solve(n, name.split(", ")[1], theirs, problem)
        for label, (evaluations, seconds, error, nit) in ((ours_name, a), (theirs_name, b)):
            ratio = "%.3g" % (a[0] / b[0]) if label == ours_name else ""
            time_ratio = "%.3g" % (a[1] / b[1]) if label == ours_name else ""
            print("| %s, %d | %s | %d | %d | %.2f | %.1e | %s | %s |" % (
                name, n, label, evaluations, nit, seconds, error, ratio, time_ratio))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    print("Python %s, NumPy %s, SciPy %s, CasADi %s, %s" % (
        platform.python_version(), np.__version__, scipy.__version__,
        importlib.metadata.version("casadi") if casadi is not None else "not installed",
        platform.machine()))
    colours_table(quick)
    evaluations_table(quick)
    solves_table(quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
