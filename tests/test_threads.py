"""Several threads using the module at once, each on its own solver and arrays."""

import contextlib
import os
import threading

import numpy as np

from vendrel.sparse_solver import SparseSolver

THREADS = 6
ROUNDS = 30


class Banded(SparseSolver):
    """Residual i depends on unknowns i - k .. i + k."""

    def __init__(self, k):
        self.k = k

    def compute_residuals(self, x):
        return np.convolve(x, np.ones(2 * self.k + 1), "same") + x**2


def expected_pattern(n, k):
    cols = [j for j in range(n) for i in range(max(0, j - k), min(n, j + k + 1))]
    rows = [i for j in range(n) for i in range(max(0, j - k), min(n, j + k + 1))]
    return rows, cols


def run_threads(work):
    errors = []

    def guarded(index):
        try:
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append((index, error))

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(THREADS)]
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert errors == []


def test_pattern_and_groups_in_parallel():
    def work(index):
        n, k = 20 + index, 1 + index % 3
        solver = Banded(k)
        x0 = np.linspace(0.0, 1.0, n)
        before = x0.tobytes()
        for _ in range(ROUNDS):
            rows, cols = solver.compute_pattern(x0)
            assert (rows.tolist(), cols.tolist()) == expected_pattern(n, k)
            assert x0.tobytes() == before
            groups = solver.find_groups(rows, cols)
            assert len(groups) == 2 * k + 1
            assert sorted(p for g in groups for p in g.tolist()) == list(range(len(rows)))

    run_threads(work)


def test_do_stuff_on_disjoint_views_while_python_runs(cython_client):
    shared = np.zeros(THREADS * 1_000_000, dtype=np.int32)
    views = [shared[i::THREADS] for i in range(THREADS)]

    def work(index):
        solver = SparseSolver()
        if index % 2:
            for _ in range(ROUNDS):
                cython_client.do_stuff(solver, views[index])
        else:
            # Plain Python work in between, competing for the interpreter lock.
            total = 0
            for _ in range(ROUNDS):
                cython_client.do_stuff(solver, views[index])
                total += sum(range(1000))
            assert total == ROUNDS * 499500

    run_threads(work)
    for index, view in enumerate(views):
        assert (view == ROUNDS).all(), index
