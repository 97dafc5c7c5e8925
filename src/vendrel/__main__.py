"""Demonstration: the Jacobian's structure on a small problem, then the engine at scale.

    python -m vendrel [--n N] [--plot FILE.png] [--quiet]

First, SparseSolver's methods on -u'' + u**3 = 1 on (0, 1), zero at both ends, on 8
interior points, with the running account of their work (left out with --quiet). Then
the engine, quietly, on -Δu + u**3 = 1 on a square grid of about N unknowns: groups per
ordering against the lower bound and SciPy's default, and one Jacobian, timed and
compared with SciPy's approx_derivative.
"""

import argparse
import contextlib
import io
import math
import pathlib
import sys
import time
from typing import Any, List, Optional

import numpy as np
import numpy.typing as npt

from vendrel.sparse_solver import SparseSolver


class BoundaryValueProblem(SparseSolver):
    """-u'' + u**3 = 1 on n interior points of (0, 1), zero at both ends."""

    def __init__(self, n: int) -> None:
        self.n = n
        self.h = 1.0 / (n + 1)

    def compute_residuals(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        u = np.concatenate(([0.0], x, [0.0]))
        second = (u[:-2] - 2.0 * u[1:-1] + u[2:]) / self.h**2
        residual: npt.NDArray[np.float64] = -second + x**3 - 1.0
        return residual


def small_problem(n: int, quiet: bool) -> None:
    problem = BoundaryValueProblem(n)
    x0 = np.linspace(0.1, 0.2, n)
    trace = io.StringIO()
    with contextlib.redirect_stdout(trace) if quiet else contextlib.nullcontext():
        print("Sparsity pattern of the Jacobian (row, column):")
        rows, cols = problem.compute_pattern(x0)
        print()
        print("Grouping structurally orthogonal columns:")
        groups = problem.find_groups(rows, cols)
        print()
    columns = [sorted({int(cols[p]) for p in group}) for group in groups]
    print("Summary")
    print("  unknowns:                       %d" % n)
    print("  nonzeros found:                 %d" % len(rows))
    print("  column groups:                  %d  %s" % (len(groups), columns))
    print("  residual evaluations, grouped:  %d (one per group, plus the base)" % (len(groups) + 1))
    print("  residual evaluations, dense:    %d (one per column, plus the base)" % (n + 1))


def timed(function: Any) -> "tuple[Any, float]":
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def engine(unknowns: int, plot: Optional[str]) -> None:
    from scipy.optimize._numdiff import approx_derivative
    from scipy.optimize._numdiff import group_columns as scipy_group_columns

    from vendrel.grouping import ORDERS, group_columns, lower_bound
    from vendrel.jacobian import SparseJacobian
    from vendrel.problems import Poisson2D

    problem = Poisson2D(max(1, round(math.sqrt(unknowns))))
    n, pattern, x = problem.n, problem.pattern(), problem.start()
    print()
    print("The engine on -Δu + u**3 = 1, %d x %d grid: %d unknowns, %d Jacobian entries"
          % (problem.side, problem.side, n, pattern.nnz))
    bound = lower_bound(pattern)
    print("  groups (one residual evaluation each; no grouping needs fewer than %d):" % bound)
    counts = {}
    for order in ORDERS:
        groups, seconds = timed(lambda: group_columns(pattern, order))
        counts[order] = int(groups.max()) + 1
        print("    %-24s %6d   %8.1f ms" % (order, counts[order], 1e3 * seconds))
    scipy_groups, seconds = timed(lambda: scipy_group_columns(pattern))
    print("    %-24s %6d   %8.1f ms" % ("SciPy's default order", scipy_groups.max() + 1,
                                        1e3 * seconds))

    jac, plan_seconds = timed(lambda: SparseJacobian(problem, pattern))
    jacobian, first_seconds = timed(lambda: jac(x))
    per_jacobian = jac.evaluations
    _, call_seconds = timed(lambda: jac(x))
    _, residual_seconds = timed(lambda: problem(x))
    reference = approx_derivative(problem, x, sparsity=(pattern, jac.groups))
    difference = abs(jacobian - reference).max() / abs(reference).max()
    print("  one Jacobian:")
    print("    residual evaluations:     %d each (a dense difference needs %d)"
          % (per_jacobian, n + 1))
    print("    plan (grouping included): %8.1f ms" % (1e3 * plan_seconds))
    print("    first Jacobian:           %8.1f ms (recovery indices made)" % (1e3 * first_seconds))
    print("    each further Jacobian:    %8.1f ms (%.1f ms per residual evaluation)"
          % (1e3 * call_seconds, 1e3 * residual_seconds))
    print("    largest difference from SciPy's approx_derivative, relative: %.1e" % difference)
    if plot:
        draw(pattern, jac.groups, plot)


def draw(pattern: Any, groups: Any, path: str) -> None:
    from vendrel.plot import plot_orders, plot_pattern

    target = pathlib.Path(path)
    orders = target.with_name(target.stem + "-orders" + (target.suffix or ".png"))
    plot_pattern(pattern, groups, str(target))
    plot_orders(pattern, str(orders))
    print("  pictures: %s (pattern by group), %s (groups per order)" % (target, orders))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vendrel", description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, metavar="N",
                        help="unknowns of the 2-D problem (default 100000)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="also draw the pattern by group and the groups per order "
                             "(needs vendrel[plot])")
    parser.add_argument("--quiet", action="store_true",
                        help="leave out the running account of SparseSolver's methods")
    options = parser.parse_args(argv)
    if options.n < 1:
        parser.error("--n must be at least 1")
    if options.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib: pip install 'vendrel[plot]'", file=sys.stderr)
            return 2
    small_problem(8, options.quiet)
    engine(options.n, options.plot)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
