"""root on 3-D Bratu against PETSc SNES and SciPy's newton_krylov, side by side in one run.

    python benchmarks/solve_3d.py             # m = 30 and 50
    python benchmarks/solve_3d.py --quick     # m = 20

PETSc (newtonls with coloured differences; GMRES + ILU(0) with and without Eisenstat-Walker
forcing, and LU where it finishes in reasonable time) runs under /usr/bin/python3 (or
$PETSC_PYTHON), where Debian's python3-petsc4py is installed, between our rounds; Debian's
package without petsc-dev needs PETSC_DIR=/usr/lib/petscdir/petsc3.18/x86_64-linux-gnu-real.
Every tool gets the same residual and the same test, max|F| <= 1e-8 max|F(x0)|; times are
medians of three runs (PETSc's and SciPy's of one).
"""

import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np
from scipy.optimize import newton_krylov

from vendrel.problems import Bratu3D
from vendrel.solve import root

HERE = pathlib.Path(__file__).resolve().parent


def ours(problem, ftol, linear_solver):
    calls = [0]

    def fun(x):
        calls[0] += 1
        return problem(x)

    start = time.perf_counter()
    result = root(fun, problem.start(), sparsity=problem.pattern(), ftol=ftol,
                  linear_solver=linear_solver)
    seconds = time.perf_counter() - start
    success = bool(np.abs(problem(result.x)).max() <= ftol)
    return calls[0], seconds, success


def scipy_krylov(problem, ftol):
    calls = [0]

    def fun(x):
        calls[0] += 1
        return problem(x)

    start = time.perf_counter()
    try:
        x = newton_krylov(fun, problem.start(), f_tol=ftol, maxiter=200)
        success = bool(np.abs(problem(x)).max() <= ftol)
    except Exception:  # NoConvergence
        success = False
    return calls[0], time.perf_counter() - start, success


def petsc(sides):
    python = os.environ.get("PETSC_PYTHON", "/usr/bin/python3")
    try:
        done = subprocess.run([python, str(HERE / "solve_petsc.py"), "--bratu3d",
                               ",".join(map(str, sides))], capture_output=True, text=True,
                              timeout=1800)
    except (OSError, subprocess.TimeoutExpired) as error:
        print("PETSc did not run: %s" % error, file=sys.stderr)
        return {}
    rows = {}
    for line in done.stdout.splitlines():
        side, label, evals, _, seconds, success = line.split("\t")
        rows[(int(side), label)] = (int(evals), float(seconds), success == "True")
    if not rows:
        print("PETSc did not run: %s" % done.stderr[-500:], file=sys.stderr)
    return rows


def main():
    sides = [20] if "--quick" in sys.argv else [30, 50]
    choices = ["auto", "gmres", "bicgstab"]
    table = []
    found_petsc = petsc(sides)
    for side in sides:
        problem = Bratu3D(side)
        ftol = 1e-8 * float(np.abs(problem(problem.start())).max())
        for choice in choices + (["splu"] if side <= 30 else []):
            runs = [ours(problem, ftol, choice) for _ in range(1 if choice == "splu" else 3)]
            evals = runs[0][0]
            seconds = statistics.median(r[1] for r in runs)
            table.append((side, "root " + choice, evals, seconds, all(r[2] for r in runs)))
        table.append((side, "SciPy newton_krylov") + scipy_krylov(problem, ftol))
        for (petsc_side, label), row in sorted(found_petsc.items()):
            if petsc_side == side:
                table.append((side, "PETSc " + label) + row)
    print("| m | n | tool | evaluations | seconds | success | x best PETSc |")
    print("|---|---|---|---|---|---|---|")
    for side in sides:
        rows = [row for row in table if row[0] == side]
        petsc_best = min((row[3] for row in rows if row[1].startswith("PETSc") and row[4]),
                         default=float("nan"))
        for _, tool, evals, seconds, success in rows:
            print("| %d | %d | %s | %d | %.2f | %s | %.2f |" % (
                side, side**3, tool, evals, seconds, "yes" if success else "no",
                seconds / petsc_best))


if __name__ == "__main__":
    main()
