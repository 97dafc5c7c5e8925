"""The flow in a driven cavity from rest, where Newton's method fails and pseudo-transient
continuation does not.

    python examples/driven_cavity.py [side] [reynolds]

MINPACK-2's stream function formulation on a side x side grid (60 by default) at Reynolds
number 1000: root with a line search, then with globalization="ptc", each reporting its
evaluations and how it ended.
"""

import sys

from vendrel.problems import DrivenCavity
from vendrel.solve import root


def main(side: int = 60, reynolds: float = 1000.0) -> None:
    cavity = DrivenCavity(side, reynolds)
    pattern = cavity.pattern()
    print("driven cavity, %d x %d grid, Reynolds number %g: %d unknowns"
          % (side, side, reynolds, cavity.n))
    for globalization in ("line_search", "ptc"):
        result = root(cavity, cavity.start(), sparsity=pattern, ftol=1e-10,
                      globalization=globalization, max_iter=200)
        print("%-12s %-7s %3d iterations, %5d residual evaluations, %.2f s: %s"
              % (globalization, "solved" if result.success else "failed", result.nit,
                 result.nfev, result.time, result.message))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 60,
         float(sys.argv[2]) if len(sys.argv) > 2 else 1000.0)
