"""Demonstration: the Jacobian structure of a small boundary-value problem.

    python -m vendrel

The residuals are those of -u'' + u**3 = 1 on (0, 1) with u(0) = u(1) = 0,
discretised by central differences on n interior points: each residual depends
on its own point and its two neighbours, so the Jacobian is tridiagonal.
"""

import numpy as np

from vendrel.sparse_solver import SparseSolver


class BoundaryValueProblem(SparseSolver):
    """-u'' + u**3 = 1 on n interior points of (0, 1), zero at both ends."""

    def __init__(self, n):
        self.n = n
        self.h = 1.0 / (n + 1)

    def compute_residuals(self, x):
        u = np.concatenate(([0.0], x, [0.0]))
        second = (u[:-2] - 2.0 * u[1:-1] + u[2:]) / self.h**2
        return -second + x**3 - 1.0


def main(n=8):
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
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
