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

BATCH = 5_000
BATCHES = 4
# Caches inside the interpreter and NumPy fill and drain by some tens of kilobytes from
# batch to batch; a leak of one small object (16 bytes or more) per call would add 240 kB
# over the last three batches.
TRACED_LIMIT = 128 * 1024
RSS_LIMIT = 2 * 1024 * 1024
# Under AddressSanitizer freed memory sits in quarantine, so RSS says nothing there.
CHECK_RSS = os.path.exists("/proc/self/statm") and not os.environ.get("VENDREL_SANITIZED")


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
    if not CHECK_RSS:
        return 0
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(call, expected, times):
    for _ in range(times):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - the family's own exception is expected
            if expected is None or not isinstance(error, expected):
                raise


def measure(call, expected):
    """Traced memory and RSS growth from the end of the first batch to the end of the last."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        repeat(call, expected, 200)  # warm up caches and free lists
        tracemalloc.start()
        try:
            repeat(call, expected, BATCH)
            gc.collect()
            traced, rss = tracemalloc.get_traced_memory()[0], rss_bytes()
            repeat(call, expected, BATCH * (BATCHES - 1))
            gc.collect()
            return tracemalloc.get_traced_memory()[0] - traced, rss_bytes() - rss
        finally:
            tracemalloc.stop()


@pytest.mark.slow  # thousands of calls per family, to see memory that grows
@pytest.mark.parametrize("name, call, expected, arguments", FAMILIES, ids=[f[0] for f in FAMILIES])
def test_memory_and_references_hold(name, call, expected, arguments):
    counts = [sys.getrefcount(a) for a in arguments]
    traced, rss = measure(call, expected)
    assert [sys.getrefcount(a) for a in arguments] == counts
    assert traced < TRACED_LIMIT, (name, traced)
    if CHECK_RSS:
        assert rss < RSS_LIMIT, (name, rss)


@pytest.mark.slow
def test_do_stuff_holds_memory_and_references(cython_client):
    v = i32([1, 2, 3])
    solver = SparseSolver()
    count = sys.getrefcount(v)
    traced, rss = measure(lambda: cython_client.do_stuff(solver, v), None)
    assert sys.getrefcount(v) == count
    assert traced < TRACED_LIMIT
    calls = 200 + BATCH * BATCHES
    assert v.tolist() == [1 + calls, 2 + calls, 3 + calls]
