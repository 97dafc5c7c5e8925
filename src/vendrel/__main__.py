"""Demonstration: the Jacobian structure of a small boundary-value problem.

    python -m vendrel [--plot FILE.png]

The residuals are those of -u'' + u**3 = 1 on (0, 1) with u(0) = u(1) = 0,
discretised by central differences on n interior points: each residual depends
on its own point and its two neighbours, so the Jacobian is tridiagonal.
"""

import argparse
import sys
from typing import List, Optional

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


def main(argv: Optional[List[str]] = None, n: int = 8) -> int:
    parser = argparse.ArgumentParser(prog="python -m vendrel", description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="FILE.png",
                        help="also draw the pattern, coloured by group (needs vendrel[plot])")
    options = parser.parse_args(argv)
    problem = BoundaryValueProblem(n)
    x0 = np.linspace(0.1, 0.2, n)
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
    if options.plot:
        try:
            from vendrel.plot import plot_groups

            plot_groups(rows, cols, groups, (n, n), options.plot)
        except ImportError:
            print("--plot needs matplotlib: pip install 'vendrel[plot]'", file=sys.stderr)
            return 2
        print("  picture:                        %s" % options.plot)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
