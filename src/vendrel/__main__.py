"""Demonstration: the engine at scale, a solve, then the Jacobian's structure on a small problem.

    python -m vendrel [--n N] [--plot FILE.png] [--trace | --quiet]

First the engine, quietly, on -Δu + u**3 = 1 on a square grid of about N unknowns: groups
per ordering against the lower bound and SciPy's default, and one Jacobian, timed and
compared with SciPy's approx_derivative; then the same problem solved by vendrel.solve.root.
Last, SparseSolver's methods on -u'' + u**3 = 1 on (0, 1), zero at both ends, on 8
interior points, with the running account of their work: its first and last lines (all of
it with --trace, none with --quiet).
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


# Of the running account, the short form shows this many lines from its start and its end.
TRACE_HEAD, TRACE_TAIL = 12, 6


def small_problem(n: int, trace: str) -> None:
    problem = BoundaryValueProblem(n)
    x0 = np.linspace(0.1, 0.2, n)
    print()
    print("SparseSolver's methods on -u'' + u**3 = 1, %d interior points%s" % (
        n, ":" if trace == "none" else ", with the running account of their work:"))
    account = io.StringIO()
    with contextlib.redirect_stdout(account) if trace != "all" else contextlib.nullcontext():
        print("Sparsity pattern of the Jacobian (row, column):")
        rows, cols = problem.compute_pattern(x0)
        print()
        print("Grouping structurally orthogonal columns:")
        groups = problem.find_groups(rows, cols)
        print()
    if trace == "short":
        lines = account.getvalue().splitlines()
        if len(lines) > TRACE_HEAD + TRACE_TAIL:
            left_out = len(lines) - TRACE_HEAD - TRACE_TAIL
            lines = lines[:TRACE_HEAD] + ["  ... %d lines left out (--trace shows them all)"
                                          % left_out] + lines[-TRACE_TAIL:]
        print("\n".join(lines))
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
    solve(problem, pattern)
    if plot:
        draw(pattern, jac.groups, plot)


def solve(problem: Any, pattern: Any) -> None:
    from vendrel.solve import root

    x0 = np.zeros(problem.n)
    print("  solved by vendrel.solve.root from u = 0 (Newton, Jacobians by groups, SuperLU):")
    for update in ("every", "broyden"):
        result = root(problem, x0, sparsity=pattern, jac_update=update)
        print("    jac_update=%-9r %s in %d iterations, %d residual evaluations "
              "(%d Jacobians), %.2f s"
              % (update, "converged" if result.success else "failed: " + result.message,
                 result.nit, result.nfev, result.njev, result.time))


ZOOM = 40  # rows and columns in the zoomed window


def pictures(path: str) -> "tuple[pathlib.Path, pathlib.Path, pathlib.Path]":
    """The pattern's picture, its zoomed window, and the groups per order."""
    target = pathlib.Path(path)
    suffix = target.suffix or ".png"
    return (target, target.with_name(target.stem + "-zoom" + suffix),
            target.with_name(target.stem + "-orders" + suffix))


def check_writable(path: str) -> Optional[str]:
    """Why the pictures cannot be written, or None: checked before the run, not after it."""
    for target in pictures(path):
        existed = target.exists()
        try:
            with open(target, "ab"):
                pass
        except OSError as error:
            return "cannot write %s: %s" % (target, error.strerror or error)
        if not existed:
            target.unlink()
    return None


def draw(pattern: Any, groups: Any, path: str) -> None:
    from vendrel.plot import plot_orders, plot_pattern

    target, zoom, orders = pictures(path)
    plot_pattern(pattern, groups, str(target))
    # At 10^5 unknowns the whole pattern is a thin diagonal; a corner of 40 x 40 entries
    # shows each entry, coloured by its column's group.
    window = min(pattern.shape[0], ZOOM)
    plot_pattern(pattern[:window, :window], np.asarray(groups)[:window], str(zoom),
                 title="the first %d rows and columns, coloured by group" % window)
    plot_orders(pattern, str(orders))
    print("  pictures: %s (pattern by group), %s (a window on it), %s (groups per order)"
          % (target, zoom, orders))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vendrel", description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, metavar="N",
                        help="unknowns of the 2-D problem (default 100000)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="also draw the pattern by group and the groups per order "
                             "(needs vendrel[plot])")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--trace", action="store_true",
                       help="show the whole running account of SparseSolver's methods")
    shown.add_argument("--quiet", action="store_true",
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
        reason = check_writable(options.plot)
        if reason:
            parser.error("--plot: " + reason)
    engine(options.n, options.plot)
    small_problem(8, "all" if options.trace else "none" if options.quiet else "short")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
