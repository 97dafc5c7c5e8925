"""Repeated calls, successful and failing, leave memory and the arguments' reference counts
as they were."""

import contextlib
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from vendrel.sparse_solver import SparseSolver

CALLS = 10_000


class Diagonal(SparseSolver):
    def compute_residuals(self, x):
        return 2 * x


class FailsAtTwo(SparseSolver):
    def compute_residuals(self, x):
        if x[2] != 0:
            raise RuntimeError("no residual")
        return x.copy()


class ReturnsList(SparseSolver):
    def compute_residuals(self, x):
        return [0.0] * len(x)


def i32(values):
    return np.array(values, dtype=np.int32)


def readonly(array):
    array.flags.writeable = False
    return array


ROWS, COLS = i32([0, 1, 1]), i32([0, 1, 2])
X, X4 = np.zeros(3), np.zeros(4)

# (name, call, expected exception or None, the arguments whose counts must hold)
FAMILIES = [
    ("residuals", lambda: SparseSolver().compute_residuals(X), None, [X]),
    ("residuals: not an array", lambda: SparseSolver().compute_residuals([1.0]), TypeError, []),
    ("residuals: float32", lambda: SparseSolver().compute_residuals(X32), ValueError, []),
    ("residuals: None", lambda: SparseSolver().compute_residuals(None), TypeError, []),
    ("pattern", lambda: Diagonal().compute_pattern(X4), None, [X4]),
    ("pattern: evaluation fails", lambda: FailsAtTwo().compute_pattern(X4), RuntimeError, [X4]),
    ("pattern: read-only x0", lambda: Diagonal().compute_pattern(READONLY), ValueError, []),
    ("pattern: residual not an array", lambda: ReturnsList().compute_pattern(X4), TypeError, [X4]),
    ("groups", lambda: SparseSolver().find_groups(ROWS, COLS), None, [ROWS, COLS]),
    ("groups: keywords", lambda: SparseSolver().find_groups(rows=ROWS, cols=COLS), None, [ROWS]),
    ("groups: argument count", lambda: SparseSolver().find_groups(ROWS), TypeError, [ROWS]),
    ("groups: int64", lambda: SparseSolver().find_groups(ROWS, COLS64), ValueError, [ROWS]),
    ("groups: None", lambda: SparseSolver().find_groups(ROWS, None), TypeError, [ROWS]),
    ("groups: short rows", lambda: SparseSolver().find_groups(ROWS[:1], COLS), ValueError, [COLS]),
]
X32, READONLY, COLS64 = np.zeros(3, np.float32), readonly(np.zeros(2)), np.zeros(3, np.int64)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(call, expected, times):
    for _ in range(times):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - the family's own exception is expected
            if expected is None or not isinstance(error, expected):
                raise


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
@pytest.mark.parametrize("name, call, expected, arguments", FAMILIES, ids=[f[0] for f in FAMILIES])
def test_memory_and_references_hold(name, call, expected, arguments):
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        repeat(call, expected, 200)  # warm up caches and free lists
        gc.collect()
        counts = [sys.getrefcount(a) for a in arguments]
        tracemalloc.start()
        # A first batch lets caches (the interpreter's and NumPy's) fill; the second must
        # leave memory where the first did.
        repeat(call, expected, CALLS)
        gc.collect()
        traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss_bytes()
        repeat(call, expected, CALLS)
        gc.collect()
        traced_after, rss_after = tracemalloc.get_traced_memory()[0], rss_bytes()
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in arguments] == counts
    # A leak of one small object per call would be 10000 x 16 bytes or more.
    assert traced_after - traced_before < 16 * 1024, (name, traced_before, traced_after)
    assert rss_after - rss_before < 2 * 1024 * 1024, (name, rss_before, rss_after)


def test_do_stuff_holds_memory_and_references(cython_client):
    v = i32([1, 2, 3])
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        solver = SparseSolver()
        repeat(lambda: cython_client.do_stuff(solver, v), None, 200)
        count = sys.getrefcount(v)
        tracemalloc.start()
        repeat(lambda: cython_client.do_stuff(solver, v), None, CALLS)
        before = tracemalloc.get_traced_memory()[0]
        repeat(lambda: cython_client.do_stuff(solver, v), None, CALLS)
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
    assert sys.getrefcount(v) == count
    assert after - before < 16 * 1024
    assert v.tolist() == [1 + 200 + 2 * CALLS, 2 + 200 + 2 * CALLS, 3 + 200 + 2 * CALLS]
