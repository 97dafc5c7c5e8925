"""Benchmarks of vendrel.sparse_solver against the work it cannot avoid and a Python peer.

    python benchmarks/run.py            # the full table (a few minutes)
    python benchmarks/run.py --quick    # smaller sizes, for a smoke run

Timings are medians of repeated runs after a warm-up, measured side by side in one run;
standard output is sent to os.devnull while the methods print their trace.
"""

import argparse
import contextlib
import io
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "ext"))

import peer  # noqa: E402
import problems  # noqa: E402

STEP = 1e-06


def median_time(function, repeats, warmup=1):
    """Median wall time of function() over `repeats` runs, after `warmup` runs."""
    for _ in range(warmup):
        function()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def paired(first, second, repeats, warmup=1):
    """Times first() and second() alternately; returns the median of the per-pair ratios
    first / second and the median times of each. Pairing cancels the machine's drift."""
    for _ in range(warmup):
        first()
        second()
    ratios, times_first, times_second = [], [], []
    for _ in range(repeats):
        start = time.perf_counter()
        first()
        middle = time.perf_counter()
        second()
        end = time.perf_counter()
        times_first.append(middle - start)
        times_second.append(end - middle)
        ratios.append((middle - start) / (end - middle))
    return (statistics.median(ratios), statistics.median(times_first),
            statistics.median(times_second))


@contextlib.contextmanager
def quiet():
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        yield


def silenced(function):
    def run():
        with quiet():
            return function()
    return run


class Table:
    def __init__(self):
        self.rows = []

    def add(self, name, value, target="", note=""):
        self.rows.append((name, value, target, note))
        print("  %-44s %-14s %-10s %s" % (name, value, target, note), file=sys.stderr)

    def show(self):
        width = max(len(r[0]) for r in self.rows)
        print("%-*s  %-14s  %-10s  %s" % (width, "benchmark", "result", "target", "note"))
        print("-" * (width + 50))
        for name, value, target, note in self.rows:
            print("%-*s  %-14s  %-10s  %s" % (width, name, value, target, note))


def residual_calls(solver, x0):
    """The n + 1 residual evaluations compute_pattern makes, with x0 raised and put back."""
    solver.compute_residuals(x0)
    for i in range(len(x0)):
        saved = x0[i]
        x0[i] = saved + STEP
        solver.compute_residuals(x0)
        x0[i] = saved


def pattern_rows(table, sizes, repeats):
    for n in sizes:
        solver = problems.Tridiagonal()
        x0 = np.linspace(0.0, 1.0, n)
        with quiet():
            rows, cols = solver.compute_pattern(x0)
        lines = [[] for _ in range(n)]
        for j, i in zip(rows.tolist(), cols.tolist()):
            lines[i].append(j)

        def floor():
            # The same n + 1 residual calls and the same print calls, in the same order,
            # from Python.
            solver.compute_residuals(x0)
            for i in range(n):
                saved = x0[i]
                x0[i] = saved + STEP
                solver.compute_residuals(x0)
                x0[i] = saved
                for j in lines[i]:
                    print(j, i, "is a thing")

        ratio, module, base = paired(silenced(lambda: solver.compute_pattern(x0)),
                                     silenced(floor), repeats if n > 2000 else 3 * repeats)
        peer_time = median_time(
            silenced(lambda: peer.compute_pattern(problems.tridiagonal, x0)), max(1, repeats // 2))
        target = "<= 1.05" if n == 2000 else ""
        table.add("compute_pattern n=%d / floor" % n, "%.3f" % ratio, target,
                  "%.3f s vs %.3f s; peer %.1fx slower" % (module, base, peer_time / module))

    # The n x n comparison on its own: a residual function that costs next to nothing.
    n = sizes[-1]
    fixed = problems.tridiagonal(np.linspace(0.0, 1.0, n))

    class Cheap(problems.SparseSolver):
        def compute_residuals(self, x):
            return fixed

    cheap = Cheap()
    x0 = np.linspace(0.0, 1.0, n)
    compare = median_time(silenced(lambda: cheap.compute_pattern(x0)), repeats)
    calls = median_time(lambda: [cheap.compute_residuals(x0) for _ in range(n + 1)], repeats)
    full = median_time(silenced(lambda: problems.Tridiagonal().compute_pattern(x0)), 1)
    scanned = n * n * 2 * 8 / max(compare - calls, 1e-9) / 1e9
    table.add("compute_pattern n=%d: comparison share" % n, "%.1f %%" % (100 * compare / full),
              "", "%.3f s of %.3f s; %.1f GB/s of residual data" % (compare, full, scanned))


def record_calls(function):
    """The print calls function(say) makes, as (objects, end) pairs."""
    calls = []
    function(lambda *objects, end=None: calls.append((objects, end)))
    return calls


def replay(calls):
    for objects, end in calls:
        if end is None:
            print(*objects)
        else:
            print(*objects, end=end)


def grouping_rows(table, cases, repeats):
    for name, (rows, cols) in cases:
        solver = problems.SparseSolver()
        calls = record_calls(lambda say: peer.find_groups(rows, cols, say))
        # The peer stands for the same output: check it once.
        mine, theirs = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(mine):
            solver.find_groups(rows, cols)
        with contextlib.redirect_stdout(theirs):
            peer.find_groups(rows, cols)
        assert mine.getvalue() == theirs.getvalue(), "peer output differs"
        ratio, module, base = paired(silenced(lambda: solver.find_groups(rows, cols)),
                                     silenced(lambda: replay(calls)), repeats)
        peer_time = median_time(silenced(lambda: peer.find_groups(rows, cols)), repeats)
        table.add("find_groups %s / floor" % name, "%.3f" % ratio, "<= 1.0",
                  "%d lines; %.3f s vs %.3f s; peer %.2fx slower"
                  % (len(calls), module, base, peer_time / module))


def memory_row(table, n):
    solver = problems.Tridiagonal()
    x0 = np.linspace(0.0, 1.0, n)

    def peak(function):
        tracemalloc.start()
        with quiet():
            function()
        _, top = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        return top

    extra = peak(lambda: solver.compute_pattern(x0)) - peak(lambda: residual_calls(solver, x0))
    with quiet():
        entries = len(solver.compute_pattern(x0)[0])
    table.add("compute_pattern n=%d extra peak memory" % n, "%.0f kB" % (extra / 1e3),
              "O(entries)", "%.1f bytes per entry beyond one residual copy (%d kB)"
              % ((extra - 8 * n) / entries, 8 * n / 1e3))


def do_stuff_row(table, size, repeats):
    import clients

    with tempfile.TemporaryDirectory() as directory:
        try:
            client = clients.cython_client(directory)
        except clients.BuildUnavailable as reason:
            table.add("do_stuff", "skipped", "", str(reason))
            return
        v = np.zeros(size, dtype=np.int32)
        solver = problems.SparseSolver()
        module = median_time(silenced(lambda: client.do_stuff(solver, v)), repeats)
        numpy_time = median_time(lambda: np.add(v, 1, out=v), repeats)
        table.add("do_stuff %.0e int32: GB/s (read+write)" % size,
                  "%.1f" % (8 * size / module / 1e9), "memory",
                  "%.3f s; numpy's in-place add %.1f GB/s" % (module, 8 * size / numpy_time / 1e9))


def startup_row(table, repeats):
    own = []
    for _ in range(repeats):
        done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import vendrel.sparse_solver"],
                              capture_output=True, text=True)
        total = 0
        for line in done.stderr.splitlines():
            match = re.match(r"import time:\s+(\d+) \|\s+\d+ \|\s+(\S+)", line)
            # The module's own self time and its failed relative imports (vendrel.numpy, ...);
            # numpy, scipy and test.test_os are excluded.
            if match and match.group(2).startswith("vendrel.") and match.group(2) != "vendrel":
                total += int(match.group(1))
        own.append(total)
    table.add("import vendrel.sparse_solver, own share", "%.2f ms" % (statistics.median(own) / 1e3),
              "< 1 ms", "median of %d runs of python -X importtime" % repeats)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    quick = parser.parse_args().quick
    repeats = 3 if quick else 5
    table = Table()
    print("running (results also go to stderr as they come)...", file=sys.stderr)
    pattern_rows(table, [200, 2000] if quick else [200, 2000, 20000], repeats)
    grouping_rows(table, [("Laplacian 10x10" if quick else "Laplacian 30x30",
                           problems.laplacian_pattern(10 if quick else 30)),
                          ("banded 5 diagonals, %d columns" % (200 if quick else 1000),
                           problems.banded_pattern(200 if quick else 1000))], repeats)
    memory_row(table, 2000 if quick else 20000)
    do_stuff_row(table, 10**6 if quick else 10**8, repeats)
    startup_row(table, repeats)
    table.show()


if __name__ == "__main__":
    main()
