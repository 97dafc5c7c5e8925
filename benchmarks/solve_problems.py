"""The problem set of benchmarks/solve.py and benchmarks/solve_petsc.py: the MINPACK-2 systems
at n = 10^4 and 10^5 (and near 1600, where SciPy's hybr can run), 3-D Bratu at m = 50, and the
driven cavity at a Reynolds number where Newton's method from rest fails."""

import numpy as np

from vendrel.problems import Bratu2D, Bratu3D, ChannelFlow, DrivenCavity, SwirlingFlow

#: The driven cavity's Reynolds number for the row that needs pseudo-transient continuation.
HARD_REYNOLDS = 1000.0


def cases(quick=False):
    """(name, problem, ftol, hard) for each row; ftol is 1e-8 max|F(x0)|, the same for every
    tool, and `hard` marks the row where plain Newton is expected to fail."""
    if quick:
        problems = [("Bratu", Bratu2D(40)), ("cavity Re 100", DrivenCavity(40, 100.0)),
                    ("channel", ChannelFlow(400)), ("swirl", SwirlingFlow(267)),
                    ("Bratu 3-D", Bratu3D(12)),
                    ("cavity Re %g" % HARD_REYNOLDS, DrivenCavity(40, HARD_REYNOLDS))]
    else:
        problems = []
        for sides, points4, points6 in ((40, 400, 267), (100, 2500, 1667), (317, 25000, 16667)):
            problems += [("Bratu", Bratu2D(sides)), ("cavity Re 100", DrivenCavity(sides, 100.0)),
                         ("channel", ChannelFlow(points4)), ("swirl", SwirlingFlow(points6))]
        problems += [("Bratu 3-D", Bratu3D(50)),
                     ("cavity Re %g" % HARD_REYNOLDS, DrivenCavity(100, HARD_REYNOLDS))]
    rows = []
    for name, problem in problems:
        ftol = 1e-8 * float(np.abs(problem(problem.start())).max())
        rows.append((name, problem, ftol, name.startswith("cavity Re %g" % HARD_REYNOLDS)))
    return rows
