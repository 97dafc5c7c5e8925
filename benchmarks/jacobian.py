"""Benchmarks of vendrel.jacobian against SciPy's approx_derivative, measured side by side.

    python benchmarks/jacobian.py            # the full table (about a minute)
    python benchmarks/jacobian.py --quick    # n up to 10^5, for a smoke run

Overhead is a Jacobian's wall time minus that of the G + 1 residual calls it makes, both
timed alternately in this run; a row's figure is the median over repeats. PETSc's
MatFDColoringApply on the same residual cannot run in this interpreter (petsc4py comes with
the system's Python): petsc_fd.py measures it under that interpreter (PETSC_PYTHON, by
default /usr/bin/python3) five times at each size, between five rounds of ours, and the
ratio of the medians is printed beside the ratio to SciPy. Where PETSc cannot run, the
figures recorded in benchmarks/README.md are used, and the row says so.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import scipy.sparse
from scipy.optimize._numdiff import approx_derivative, group_columns

from patterns import five_point_residual
from vendrel.jacobian import SparseJacobian


def grid(n):
    """The five-point stencil on a side x side grid (n = side**2), and a cheap residual."""
    side = int(round(n ** 0.5))
    one = scipy.sparse.diags_array([np.ones(side - 1), np.ones(side), np.ones(side - 1)],
                                   offsets=[-1, 0, 1], format="csr")
    eye = scipy.sparse.identity(side, format="csr")
    pattern = scipy.sparse.csr_array(scipy.sparse.kron(eye, one) + scipy.sparse.kron(one, eye))
    return side * side, pattern, five_point_residual


def band(n):
    """|i - j| <= 2, and a cheap residual."""
    pattern = scipy.sparse.diags_array([np.ones(n - abs(k)) for k in range(-2, 3)],
                                       offsets=list(range(-2, 3)), format="csr")

    def fun(x):
        r = 3.0 * x + x**3
        r[1:] -= x[:-1]
        r[:-1] -= x[1:]
        r[2:] += 0.5 * x[:-2]
        r[:-2] += 0.25 * x[2:]
        return r
    return n, pattern, fun


def overhead(jacobian, fun, x, calls, repeats):
    """Median over repeats of: one Jacobian's time minus that of `calls` residual calls."""
    jacobian()
    spans, floors = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        jacobian()
        middle = time.perf_counter()
        for _ in range(calls):
            fun(x.copy())
        end = time.perf_counter()
        spans.append(middle - start)
        floors.append(end - middle)
    return statistics.median(s - f for s, f in zip(spans, floors)), statistics.median(floors)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, *row):
        self.rows.append(row)
        print("  " + "  ".join(map(str, row)), file=sys.stderr)

    def show(self):
        header = ("benchmark", "vendrel", "SciPy", "ratio", "target", "note")
        widths = [max(len(str(r[i])) for r in self.rows + [header]) for i in range(len(header))]
        for row in [header] + self.rows:
            print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())


# PETSc 3.18.5 (Debian's python3-petsc4py), benchmarks/petsc_fd.py on the development
# machine in a quiet moment: overhead of MatFDColoringApply beyond its residual calls, 2-D
# 5-point grid, 5 groups; used only where PETSc cannot run beside this script (README.md).
PETSC_RECORDED = {10**5: 1.47e-3, 10**6: 16.7e-3}


def petsc_overhead(size):
    """PETSc's overhead at this size measured now, in seconds, or None if it cannot run."""
    python = os.environ.get("PETSC_PYTHON", "/usr/bin/python3")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "petsc_fd.py")
    side = int(round(size ** 0.5))
    try:
        done = subprocess.run([python, script, "--sides", str(side), "--json"],
                              capture_output=True, text=True, timeout=900, check=True)
        return float(json.loads(done.stdout.strip().splitlines()[-1])[str(side * side)])
    except (OSError, subprocess.SubprocessError, ValueError, KeyError, IndexError):
        return None


def overhead_rows(table, sizes, rounds=5):
    """Overhead beyond the residual on the grid and the band; on the grid from 10^5 on, also
    as PETSc works (f(x) known, values written into the caller's matrix), beside PETSc's own
    figure, taken in `rounds` runs of petsc_fd.py between rounds of ours (a figure moves by
    a factor of two between processes here, so each side is the median over its rounds)."""
    for name, make in (("grid", grid), ("band", band)):
        for size in sizes:
            n, pattern, fun = make(size)
            x = np.linspace(0.1, 1.0, n)
            jac = SparseJacobian(fun, pattern)
            groups = jac.groups
            count = int(groups.max()) + 1
            repeats = 15 if n < 10**6 else 9
            f0, J = fun(x), jac(x)
            beside_petsc = name == "grid" and size >= 10**5
            ours, into, floors, petsc = [], [], [], []
            for _ in range(rounds if beside_petsc else 1):
                if beside_petsc:
                    petsc.append(petsc_overhead(size))
                new, floor = overhead(lambda: jac(x), fun, x, count + 1, repeats)
                ours.append(new)
                floors.append(floor)
                # As PETSc works: f(x) known, the values written into the caller's matrix.
                into.append(overhead(lambda: jac(x, f0=f0, out=J), fun, x, count, repeats)[0])
            theirs, _ = overhead(lambda: approx_derivative(fun, x, method="2-point",
                                                           sparsity=(pattern, groups)),
                                 fun, x, count + 1, 5 if n < 10**6 else 3)
            ours_time, into_time = statistics.median(ours), statistics.median(into)
            table.add("overhead %s n=%.0e, %d groups" % (name, n, count),
                      "%.2f ms" % (ours_time * 1e3), "%.1f ms" % (theirs * 1e3),
                      "%.3f" % (ours_time / theirs),
                      "<= 0.04 x SciPy" if beside_petsc else "",
                      "residual calls %.1f ms" % (statistics.median(floors) * 1e3))
            if not beside_petsc:
                continue
            measured = [p for p in petsc if p is not None]
            reference, source = (statistics.median(measured), "median of %d runs beside ours"
                                 % len(measured)) if measured else \
                (PETSC_RECORDED.get(size), "recorded")
            table.add("  f0 given, out= (as PETSc)", "%.2f ms" % (into_time * 1e3),
                      "PETSc %.2f ms" % (reference * 1e3), "%.3f" % (into_time / reference),
                      "<= 0.6 x PETSc", "ratio to PETSc (%s); new Jacobian %.2f x PETSc"
                      % (source, ours_time / reference))


def fixed_cost_row(table, n=500):
    """Many groups of one column each, on a residual that costs next to nothing."""
    eye = scipy.sparse.identity(n, format="csr")

    def fun(x):
        return x * 2.0
    x = np.linspace(0.1, 1.0, n)
    groups = np.arange(n)
    jac = SparseJacobian(fun, eye, groups=groups)
    ours, _ = overhead(lambda: jac(x), fun, x, n + 1, 21)
    theirs, _ = overhead(lambda: approx_derivative(fun, x, method="2-point",
                                                   sparsity=(eye, groups)), fun, x, n + 1, 9)
    table.add("fixed cost per group (%d groups)" % n, "%.2f us" % (ours / n * 1e6),
              "%.2f us" % (theirs / n * 1e6), "%.3f" % (ours / theirs), "<= 5 us",
              "n=%d, one column per group" % n)


def evaluation_rows(table, size):
    for name, make in (("grid", grid), ("band", band)):
        n, pattern, fun = make(size)
        ours = len(np.unique(SparseJacobian(fun, pattern).groups)) + 1
        theirs = int(group_columns(pattern).max()) + 2
        table.add("evaluations %s n=%.0e" % (name, n), ours, theirs, "%.3f" % (ours / theirs), "",
                  "G + 1; SciPy's default grouping")


class Sleepy:
    """A residual that waits, as an external simulator would, whatever its size."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __call__(self, x):
        time.sleep(self.seconds)
        return np.cumsum(x)


def workers_row(table, repeats=3, workers=8, groups=40, seconds=0.1):
    """One Jacobian of `groups` groups on a pool of `workers` processes, f0 given as in a
    Newton iteration: ideally groups / workers residual times."""
    n = 4 * groups
    i, j = np.indices((n, n))
    pattern = scipy.sparse.csr_array((j >= i) & (j < i + groups))  # rows of `groups` entries
    fun = Sleepy(seconds)
    x = np.linspace(0.0, 1.0, n)
    f0 = np.cumsum(x)
    with SparseJacobian(fun, pattern, workers=workers) as parallel:
        assert parallel.grouping.count == groups
        parallel(x, f0=f0)  # starts the pool
        spans = []
        for _ in range(repeats):
            start = time.perf_counter()
            parallel(x, f0=f0)
            spans.append(time.perf_counter() - start)
    ideal = -(-groups // workers) * seconds
    table.add("%d workers, %d groups, %d ms residual" % (workers, groups, seconds * 1e3),
              "%.0f ms" % (statistics.median(spans) * 1e3), "", "%.3f" % (statistics.median(spans) / ideal),
              "<= 1.15", "wall time / (%d residual times)" % (ideal / seconds))


def _sleep_batch(args):
    count, seconds = args
    for _ in range(count):
        time.sleep(seconds)
    return count


def dask_row(table, repeats=3, workers=8, groups=40, seconds=0.1):
    """The same Jacobian on a Dask LocalCluster of `workers` processes, against what Dask
    itself needs for the same batches of sleeps (one per worker)."""
    try:
        import distributed
    except ImportError:
        table.add("Dask, %d workers" % workers, "", "", "", "", "distributed not installed")
        return
    n = 4 * groups
    i, j = np.indices((n, n))
    pattern = scipy.sparse.csr_array((j >= i) & (j < i + groups))
    x = np.linspace(0.0, 1.0, n)
    f0 = np.cumsum(x)
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        jac = SparseJacobian(Sleepy(seconds), pattern, workers=client)
        jac(x, f0=f0)
        batches = [(groups // workers, seconds)] * workers
        client.gather(client.map(_sleep_batch, batches, pure=False))
        ours, theirs = [], []
        for _ in range(repeats):
            start = time.perf_counter()
            jac(x, f0=f0)
            middle = time.perf_counter()
            client.gather(client.map(_sleep_batch, batches, pure=False))
            ours.append(middle - start)
            theirs.append(time.perf_counter() - middle)
    ideal = -(-groups // workers) * seconds
    ours_time, dask_time = statistics.median(ours), statistics.median(theirs)
    table.add("Dask %d workers, %d groups, %d ms residual" % (workers, groups, seconds * 1e3),
              "%.0f ms" % (ours_time * 1e3), "%.0f ms (Dask)" % (dask_time * 1e3),
              "%.3f" % (ours_time / max(1.15 * ideal, 1.1 * dask_time)), "<= 1.0",
              "ratio to max(1.15 x %d residual times, 1.1 x Dask's own batches)"
              % (ideal / seconds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    quick = parser.add_argument("--quick", action="store_true").dest
    quick = getattr(parser.parse_args(), quick)
    sizes = [10**4, 10**5] if quick else [10**4, 10**5, 10**6]
    table = Table()
    print("running (rows also go to stderr as they come)...", file=sys.stderr)
    overhead_rows(table, sizes)
    fixed_cost_row(table)
    evaluation_rows(table, 10**4)
    workers_row(table)
    if not quick:
        dask_row(table)
    table.show()


if __name__ == "__main__":
    main()
