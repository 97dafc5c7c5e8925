"""PETSc SNES on the residuals of benchmarks/solve.py: Newton with a line search, Jacobians by
coloured finite differences, and PETSc's own LU, for the figures in benchmarks/README.md.

    /usr/bin/python3 benchmarks/solve_petsc.py [--quick]

Runs with the system interpreter, where Debian's python3-petsc4py is installed; the problems
come from the source tree (vendrel.problems needs only NumPy and SciPy), so vendrel need not be
installed there. Prints one row per problem: evaluations, Newton steps, wall time, success.
"""

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "src"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import petsc4py  # noqa: E402

petsc4py.init(sys.argv[:1])
from petsc4py import PETSc  # noqa: E402

from solve_problems import cases  # noqa: E402


def snes_solve(problem, ftol, options):
    n = problem.n
    # PETSc's LU wants every diagonal entry in the structure; the box schemes' boundary rows
    # lack some, so they are added (as entries that stay zero)
    import scipy.sparse

    pattern = scipy.sparse.csr_matrix(problem.pattern()) + scipy.sparse.identity(n, format="csr")
    pattern.sort_indices()
    indptr = pattern.indptr.astype(PETSc.IntType)
    indices = pattern.indices.astype(PETSc.IntType)
    J = PETSc.Mat().createAIJ(size=(n, n), csr=(indptr, indices, np.zeros(len(indices))))
    J.assemble()
    calls = [0]

    def function(snes, X, F):
        calls[0] += 1
        F.array[:] = problem(X.array_r.copy())

    opts = PETSc.Options()
    for key in list(opts.getAll()):
        opts.delValue(key)
    for key, value in options.items():
        opts[key] = value
    snes = PETSc.SNES().create()
    F = PETSc.Vec().createSeq(n)
    snes.setFunction(function, F)
    snes.setJacobian(None, J, J)
    snes.setTolerances(rtol=0.0, atol=ftol * np.sqrt(n) * 1e-3, stol=0.0, max_it=100)
    snes.setFromOptions()
    # converged when max|F| <= ftol, the benchmark's common test
    def converged(snes, it, norms):
        f = snes.getFunction()[0]
        return 2 if np.abs(f.array_r).max() <= ftol else 0
    snes.setConvergenceTest(converged)
    X = PETSc.Vec().createSeq(n)
    X.array[:] = problem.start()
    start = time.perf_counter()
    try:
        snes.solve(None, X)
    except PETSc.Error as error:
        return calls[0], snes.getIterationNumber(), time.perf_counter() - start, False, \
            "error %d" % error.ierr
    seconds = time.perf_counter() - start
    x = X.array_r.copy()
    success = bool(np.abs(problem(x)).max() <= ftol)
    reason = snes.getConvergedReason()
    steps = snes.getIterationNumber()
    snes.destroy(), J.destroy(), F.destroy(), X.destroy()
    return calls[0], steps, seconds, success, reason


# PETSc's inexact Newton: GMRES(30) with ILU(0) and Eisenstat-Walker forcing terms.
KRYLOV = {"snes_type": "newtonls", "snes_linesearch_type": "bt", "snes_fd_color": None,
          "ksp_type": "gmres", "pc_type": "ilu", "snes_ksp_ew": None}


def bratu_3d(sides):
    """3-D Bratu at each side, with LU and with GMRES + ILU(0): the rows of solve_3d.py."""
    from vendrel.problems import Bratu3D

    lu = {"snes_type": "newtonls", "snes_linesearch_type": "bt", "snes_fd_color": None,
          "ksp_type": "preonly", "pc_type": "lu"}
    for side in sides:
        problem = Bratu3D(side)
        ftol = 1e-8 * float(np.abs(problem(problem.start())).max())
        fixed = dict(KRYLOV)
        del fixed["snes_ksp_ew"]
        rows = [("GMRES + ILU(0), EW", KRYLOV), ("GMRES + ILU(0)", fixed)]
        if side <= 30:  # LU past that takes minutes
            rows.append(("LU", lu))
        for label, options in rows:
            evals, steps, seconds, success, reason = snes_solve(problem, ftol, options)
            print("%d\t%s\t%d\t%d\t%.3f\t%s" % (side, label, evals, steps, seconds, success),
                  flush=True)


def main():
    if "--bratu3d" in sys.argv:
        bratu_3d([int(s) for s in sys.argv[sys.argv.index("--bratu3d") + 1].split(",")])
        return
    quick = "--quick" in sys.argv
    options = {"snes_type": "newtonls", "snes_linesearch_type": "bt", "snes_fd_color": None,
               "ksp_type": "preonly", "pc_type": "lu",
               # the box schemes' boundary rows leave zeros on the diagonal, which PETSc's
               # LU (no pivoting) needs moved off first
               "pc_factor_nonzeros_along_diagonal": None}
    print("PETSc %s, petsc4py %s, NumPy %s, Python %s" % (
        ".".join(map(str, PETSc.Sys.getVersion())), petsc4py.__version__, np.__version__,
        sys.version.split()[0]))
    print("| problem | n | evaluations | Newton steps | seconds | success |")
    print("|---|---|---|---|---|---|")
    for name, problem, ftol, _ in cases(quick):
        evals, steps, seconds, success, reason = snes_solve(problem, ftol, options)
        print("| %s | %d | %d | %d | %.2f | %s%s |" % (
            name, problem.n, evals, steps, seconds, "yes" if success else "no",
            "" if success else " (%s)" % reason), flush=True)


if __name__ == "__main__":
    main()
