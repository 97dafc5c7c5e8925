"""PETSc's colored finite-difference Jacobian (MatFDColoringApply) on the residual that
benchmarks/jacobian.py times, for the reference figure recorded in benchmarks/README.md.

Runs under the interpreter that has petsc4py (on Debian: /usr/bin/python3 with
python3-petsc4py); vendrel is not needed:

    /usr/bin/python3 benchmarks/petsc_fd.py              # n = 316^2 and 1000^2
    /usr/bin/python3 benchmarks/petsc_fd.py --sides 316 --json

Overhead is MatFDColoringApply's time minus that of the residual calls it makes (counted by
the residual itself), timed alternately in the same run; medians over repeats. With --json,
one line {"n": seconds, ...} for benchmarks/jacobian.py, which runs this beside its own rows.
"""

import argparse
import json
import statistics
import sys
import time

import numpy as np
import scipy.sparse
from petsc4py import PETSc

sys.path.insert(0, __import__("os").path.dirname(__import__("os").path.abspath(__file__)))
from patterns import five_point_residual  # noqa: E402


def grid_pattern(side):
    one = scipy.sparse.diags([np.ones(side - 1), np.ones(side), np.ones(side - 1)], [-1, 0, 1],
                             format="csr")
    eye = scipy.sparse.identity(side, format="csr")
    return scipy.sparse.csr_matrix(scipy.sparse.kron(eye, one) + scipy.sparse.kron(one, eye))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sides", type=int, nargs="+", default=[316, 1000])
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--json", action="store_true")
    options = parser.parse_args()
    figures = {}
    for side in options.sides:
        n = side * side
        pattern = grid_pattern(side)
        calls = [0]
        F = PETSc.Vec().createSeq(n)

        def function(snes, X, Fv):
            calls[0] += 1
            Fv.array[:] = five_point_residual(X.array_r)

        J = PETSc.Mat().createAIJ((n, n), csr=(pattern.indptr.astype(PETSc.IntType),
                                              pattern.indices.astype(PETSc.IntType),
                                              np.zeros(pattern.nnz)))
        J.assemble()
        snes = PETSc.SNES().create()
        snes.setFunction(function, F)
        snes.setJacobian(None, J, J)
        opts = PETSc.Options()
        opts["snes_fd_color"] = None
        snes.setFromOptions()
        x = PETSc.Vec().createSeq(n)
        x.array[:] = np.linspace(0.1, 1.0, n)
        snes.setSolution(x)  # the colored differences need the solution vector set up
        snes.setUp()
        snes.computeFunction(x, F)  # the base residual, as a Newton step has it
        snes.computeJacobian(x, J, J)  # builds the coloring, warms up
        check = five_point_residual(x.array_r.copy() + 1e-3 * np.eye(1, n, n // 2)[0])
        values = scipy.sparse.csr_matrix(J.getValuesCSR()[::-1], shape=(n, n))
        expected = (check - F.array_r) / 1e-3
        column = values[:, n // 2].toarray().ravel()
        assert np.abs(column - expected).max() < 1e-2, "PETSc's Jacobian is wrong"
        spans, floors, per = [], [], []
        xa = x.array_r.copy()
        for _ in range(options.repeats):
            calls[0] = 0
            start = time.perf_counter()
            snes.computeJacobian(x, J, J)
            middle = time.perf_counter()
            made = calls[0]
            for _ in range(made):
                five_point_residual(xa.copy())
            end = time.perf_counter()
            spans.append(middle - start)
            floors.append(end - middle)
            per.append(made)
        overhead = statistics.median(s - f for s, f in zip(spans, floors))
        figures[n] = overhead
        if not options.json:
            print("PETSc %s MatFDColoringApply n=%d: %.2f ms beyond %d residual calls (%.1f ms)"
                  % (PETSc.Sys.getVersion(), n, overhead * 1e3, per[-1],
                     statistics.median(floors) * 1e3))
        opts.delValue("snes_fd_color")
    if options.json:
        print(json.dumps(figures))


if __name__ == "__main__":
    main()
