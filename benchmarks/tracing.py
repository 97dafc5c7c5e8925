"""Benchmark of vendrel.tracing: one traced call against one plain evaluation and against the
n + 1 evaluations of finding the pattern by perturbation, measured side by side.

    python benchmarks/tracing.py            # the full table (about two minutes)
    python benchmarks/tracing.py --quick    # n up to 10^5, for a smoke run

Rows: the vectorised 2-D five-point residual at n = 100^2, 316^2 and 1000^2, a 1-D
finite-volume residual and a 3-D seven-point residual at n = 10^6, the 2-D Brusselator at
N = 32 (n = 2048, whose trace should take at most 2 ms), and a residual written as a Python
loop over elements at n = 10^4 and 10^5. The target for the vectorised residuals at n = 10^6
is a trace of at most 10 plain evaluations. Perturbation is n + 1 evaluations
each followed by an exact comparison, as `detect_sparsity` makes them; at n = 10^4 the whole
scan is run, above that a sample of 200 perturbed evaluations is timed and multiplied out (the
whole scan would take minutes to hours), which the table says. Every traced pattern is checked
against the pattern the residual is built to have before it is counted.
"""

import argparse
import math
import statistics
import sys
import time

import numpy as np
import scipy.sparse

from patterns import five_point_residual as five_point
from vendrel.tracing import trace_sparsity

SAMPLE = 200


def five_point_pattern(n):
    side = math.isqrt(n)
    line = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(side, side))
    return scipy.sparse.csr_array(scipy.sparse.kronsum(line, line, format="csr")).astype(bool)


def finite_volume_1d(u):
    """Upwind Burgers' flux plus diffusion between n cells, with closed ends."""
    flux = np.zeros_like(np.concatenate([u, u[:1]]))
    left, right = u[:-1], u[1:]
    flux[1:-1] = 0.5 * np.maximum(left, 0.0) ** 2 + 0.5 * np.minimum(right, 0.0) ** 2 \
        - (right - left)
    return flux[1:] - flux[:-1]


def finite_volume_1d_pattern(n):
    return scipy.sparse.csr_array(scipy.sparse.diags(
        [1.0, 1.0, 1.0], [-1, 0, 1], shape=(n, n), format="csr")).astype(bool)


def seven_point(x):
    """-Δu + exp(u) on a cube, zero outside it."""
    side = round(len(x) ** (1.0 / 3.0))
    u = np.pad(x.reshape(side, side, side), 1)
    c = u[1:-1, 1:-1, 1:-1]
    return (6.0 * c - u[:-2, 1:-1, 1:-1] - u[2:, 1:-1, 1:-1] - u[1:-1, :-2, 1:-1]
            - u[1:-1, 2:, 1:-1] - u[1:-1, 1:-1, :-2] - u[1:-1, 1:-1, 2:] + np.exp(c)).ravel()


def seven_point_pattern(n):
    side = round(n ** (1.0 / 3.0))
    line = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(side, side))
    return scipy.sparse.csr_array(scipy.sparse.kronsum(
        scipy.sparse.kronsum(line, line), line, format="csr")).astype(bool)


def brusselator(y, side=32):
    """The 2-D Brusselator reaction-diffusion right-hand side, periodic, two species."""
    u = y[:side * side].reshape(side, side)
    v = y[side * side:].reshape(side, side)
    h = 1.0 / (side - 1)

    def laplacian(w):
        return (np.roll(w, 1, 0) + np.roll(w, -1, 0) + np.roll(w, 1, 1) + np.roll(w, -1, 1)
                - 4.0 * w) / h**2
    du = 10.0 * laplacian(u) + u**2 * v - 4.4 * u + 1.0
    dv = 10.0 * laplacian(v) + 3.4 * u - u**2 * v
    return np.concatenate([du.ravel(), dv.ravel()])


def brusselator_pattern(n):
    side = round((n // 2) ** 0.5)
    ring = scipy.sparse.diags([1.0, 1.0, 1.0, 1.0, 1.0], [-(side - 1), -1, 0, 1, side - 1],
                              shape=(side, side))
    grid = scipy.sparse.kronsum(ring, ring)
    eye = scipy.sparse.eye(side * side)
    return scipy.sparse.csr_array(scipy.sparse.bmat([[grid, eye], [eye, grid]],
                                                    format="csr")).astype(bool)


def element_loop(x):
    """r_i = x_i x_(i+1) - sin(x_(i-1)) + 2, periodic, one element at a time."""
    n = len(x)
    r = np.zeros_like(x)
    for i in range(n):
        r[i] = x[i] * x[(i + 1) % n] - np.sin(x[i - 1]) + 2.0
    return r


def element_loop_pattern(n):
    return scipy.sparse.csr_array(scipy.sparse.diags(
        [1.0] * 5, [-1, 0, 1, n - 1, -(n - 1)], shape=(n, n), format="csr")).astype(bool)


def timed(function):
    start = time.perf_counter()
    value = function()
    return time.perf_counter() - start, value


def perturbation_scan(fun, x, columns):
    """The work of perturbation for `columns`: raise one unknown, evaluate, compare, restore."""
    base = fun(x.copy())
    point = x.copy()
    for j in columns:
        step = 1e-6 * max(1.0, abs(point[j]))
        point[j] += step
        changed = np.flatnonzero(fun(point) != base)
        point[j] = x[j]
        del changed


def row(table, name, fun, n, pattern, repeats, whole_scan):
    x = np.linspace(0.1, 1.0, n)
    fun(x.copy())
    trace_sparsity(fun, x)  # warm-up: imports, caches
    traces, evaluations = [], []
    for _ in range(repeats):
        seconds, traced = timed(lambda: trace_sparsity(fun, x))
        traces.append(seconds)
        evaluations.append(timed(lambda: fun(x.copy()))[0])
    if (traced != pattern).nnz:
        raise AssertionError("%s: traced pattern differs from the residual's" % name)
    trace = statistics.median(traces)
    evaluation = statistics.median(evaluations)
    ratio = statistics.median(t / e for t, e in zip(traces, evaluations))
    if whole_scan:
        scan, _ = timed(lambda: perturbation_scan(fun, x, range(n)))
        scan += evaluation  # f(x0)
        how = "measured"
    else:
        columns = np.linspace(0, n - 1, SAMPLE).astype(int)
        sample, _ = timed(lambda: perturbation_scan(fun, x, columns))
        scan = sample / SAMPLE * (n + 1)
        how = "%d of %d evaluations timed, x (n+1)/%d" % (SAMPLE, n + 1, SAMPLE)
    table.append((name, n, trace, evaluation, ratio, scan, scan / trace, trace / n, how))
    print("  %s n=%d trace %.3f s" % (name, n, trace), file=sys.stderr)


def show(table):
    header = ("residual", "n", "trace", "1 evaluation", "trace / evaluation",
              "perturbation (n+1 evaluations)", "perturbation / trace", "trace per unknown",
              "perturbation timing")
    lines = [header]
    for name, n, trace, evaluation, ratio, scan, speedup, per, how in table:
        lines.append((name, str(n), _duration(trace), "%.2f ms" % (evaluation * 1e3),
                      "%.0f" % ratio, _duration(scan), "%.0f" % speedup,
                      "%.2f us" % (per * 1e6), how))
    widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
    for k, line in enumerate(lines):
        print("| " + " | ".join(c.ljust(w) for c, w in zip(line, widths)) + " |")
        if k == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


def _duration(seconds):
    if seconds < 0.1:
        return "%.2f ms" % (seconds * 1e3)
    if seconds < 120:
        return "%.2f s" % seconds
    if seconds < 7200:
        return "%.1f min" % (seconds / 60)
    return "%.1f h" % (seconds / 3600)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="n up to 10^5")
    quick = parser.parse_args().quick
    table = []
    for side in (100, 316) if quick else (100, 316, 1000):
        n = side * side
        row(table, "5-point, vectorised", five_point, n, five_point_pattern(n),
            5 if n < 10**6 else 3, n <= 10**4)
    big = 10**5 if quick else 10**6
    row(table, "1-D finite volume", finite_volume_1d, big, finite_volume_1d_pattern(big), 3,
        False)
    cube = 46**3 if quick else 100**3
    row(table, "3-D 7-point", seven_point, cube, seven_point_pattern(cube), 3, False)
    row(table, "2-D Brusselator, N=32", brusselator, 2048, brusselator_pattern(2048), 51, True)
    for n in (10**4,) if quick else (10**4, 10**5):
        row(table, "Python loop", element_loop, n, element_loop_pattern(n), 3, False)
    print("vendrel.tracing: NumPy %s, SciPy %s, Python %s" % (
        np.__version__, scipy.__version__, sys.version.split()[0]))
    show(table)


if __name__ == "__main__":
    main()
