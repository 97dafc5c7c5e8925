"""Evaluations in worker processes and on a Dask cluster: the serial results, bit for bit."""

import concurrent.futures
import multiprocessing
import os

import numpy as np
import pytest
from scipy.optimize._numdiff import approx_derivative

from jacobian_problems import CoupledSolver, Dies, Slotted, grid_pattern
from vendrel.jacobian import SparseJacobian, detect_sparsity, estimate_jacobian

PATTERN = grid_pattern(5)
MASK = np.vstack([PATTERN.toarray(), np.ones((3, 25), dtype=bool)]).astype(bool)  # m > n
X0 = np.linspace(-1.0, 1.0, 25)


def same(first, second):
    first, second = (a if isinstance(a, np.ndarray) else a.toarray() for a in (first, second))
    return first.dtype == second.dtype and first.tobytes() == second.tobytes()


@pytest.fixture(scope="module")
def serial():
    solver = CoupledSolver(MASK, seed=5)
    return {method: estimate_jacobian(solver, X0, sparsity=MASK, method=method, bounds=(-1.0, 2.0))
            for method in ("2-point", "3-point", "cs")}


def test_process_pool_of_our_own_takes_solvers(serial):
    solver = CoupledSolver(MASK, seed=5)  # a SparseSolver subclass: not picklable as it is
    with SparseJacobian(solver, MASK, method="3-point", bounds=(-1.0, 2.0), workers=2) as jac:
        assert same(jac(X0), serial["3-point"]) and same(jac(X0), serial["3-point"])
        assert jac.evaluations == 2 * (2 * len(np.unique(jac.groups)) + 1)
    assert same(estimate_jacobian(solver, X0, sparsity=MASK, method="cs", workers=2), serial["cs"])
    assert same(detect_sparsity(solver, X0, workers=2), detect_sparsity(solver, X0))


def test_slotted_solver_travels_with_its_slots():
    solver = Slotted().configure(3.0, np.arange(6.0))
    x0 = np.linspace(1.0, 2.0, 6)
    band = np.eye(6, dtype=bool) | np.eye(6, k=-1, dtype=bool)
    expected = estimate_jacobian(solver, x0, sparsity=band)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert same(estimate_jacobian(solver, x0, sparsity=band, workers=pool.map), expected)
        assert same(estimate_jacobian(solver.compute_residuals, x0, sparsity=band,
                                      workers=pool.map), expected)


def test_executor_map(serial):
    solver = CoupledSolver(MASK, seed=5)
    with concurrent.futures.ThreadPoolExecutor(3) as executor:
        assert same(estimate_jacobian(solver, X0, sparsity=MASK, bounds=(-1.0, 2.0),
                                      workers=executor.map), serial["3-point"])


def test_a_dying_worker_is_reported_and_x0_kept():
    fun = Dies(os.getpid())
    x0 = np.linspace(0.0, 1.0, 8)
    before = x0.copy()
    lower = np.tril(np.ones((8, 8), dtype=bool))
    with SparseJacobian(fun, lower, workers=2) as jac:
        with pytest.raises(concurrent.futures.process.BrokenProcessPool):
            jac(x0)
        assert np.array_equal(x0, before)
        fun.die = False  # the next call makes a new pool
        assert same(jac(x0), estimate_jacobian(fun, x0, "2-point", sparsity=lower))


@pytest.fixture(scope="module")
def dask_map():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        # The two lines the README shows.
        def workers(func, items):
            return client.gather(client.map(func, items, pure=False))
        workers.client = client
        yield workers


def test_dask_cluster(serial, dask_map):
    solver = CoupledSolver(MASK, seed=5)
    for method in ("2-point", "3-point"):
        assert same(estimate_jacobian(solver, X0, sparsity=MASK, method=method, bounds=(-1.0, 2.0),
                                      workers=dask_map), serial[method])
    assert same(detect_sparsity(solver, X0, workers=dask_map), detect_sparsity(solver, X0))


def test_residual_that_narrows_its_type_between_calls():
    calls = []

    def fun(x):
        calls.append(1)
        r = np.cumsum(x**2)
        return r if len(calls) <= 4 else r.astype(np.float32)

    x, lower = np.linspace(1.0, 2.0, 3), np.tril(np.ones((3, 3)))
    in_order = lambda func, items: list(map(func, items))  # noqa: E731  a map-like: f(x) goes along
    jac = SparseJacobian(fun, lower, groups=[0, 1, 2], workers=in_order)
    jac(x)
    narrowed = jac(x)  # float32 residuals want float32's longer default step: made again
    assert jac.evaluations == 4 + 4 + 3
    expected = approx_derivative(lambda x: np.cumsum(x**2).astype(np.float32), x, method="2-point",
                                 sparsity=(lower, np.arange(3)))
    np.testing.assert_allclose(narrowed.toarray(), expected.toarray(), rtol=1e-10, atol=0)


def test_each_worker_gets_one_task_of_its_share(monkeypatch):
    """A map-like callable is handed one batch per worker, for the differences and for the
    detection alike (not one task per group or per column)."""
    monkeypatch.setattr("vendrel._evaluation.os.cpu_count", lambda: 3)
    tasks = []

    def recording(func, items):
        tasks.append(len(items))
        return list(map(func, items))

    solver = CoupledSolver(MASK, seed=5)
    groups = estimate_jacobian(solver, X0, "2-point", sparsity=MASK, workers=recording,
                               full_output=True)
    serial = estimate_jacobian(solver, X0, "2-point", sparsity=MASK)
    assert same(groups[0], serial)
    assert len(tasks) == 2 and tasks[0] == 1 and tasks[1] == 3  # f(x0), then three shares
    tasks.clear()
    assert same(detect_sparsity(solver, X0, workers=recording), detect_sparsity(solver, X0))
    assert tasks == [1, 3]  # the base, then the 25 columns in three tasks


def test_a_dask_client_is_taken_as_it_is(dask_map):
    client = dask_map.client
    solver = CoupledSolver(MASK, seed=5)
    assert same(estimate_jacobian(solver, X0, sparsity=MASK, workers=client),
                estimate_jacobian(solver, X0, sparsity=MASK))
