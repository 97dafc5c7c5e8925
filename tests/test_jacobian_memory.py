"""Jacobians made from reused memory, and work shared with helper threads: each matrix stays
its own, and the values are SciPy's, bit for bit, however the work is cut.

Work on fewer than about 65,000 values is done on the calling thread; grids of LARGE points
and more take the helpers' path (points written ahead, divisors and comparisons meanwhile).
"""

import gc
import os

import numpy as np
import pytest
import scipy.sparse
from scipy.optimize._numdiff import approx_derivative

from vendrel import _passes
from vendrel.jacobian import SparseJacobian, estimate_jacobian


LARGE = 260**2


def grid(side):
    """The 5-point pattern on a side x side grid, and a residual with it."""
    one = scipy.sparse.diags([np.ones(side - 1), np.ones(side), np.ones(side - 1)], [-1, 0, 1])
    eye = scipy.sparse.identity(side)
    pattern = scipy.sparse.csr_matrix(scipy.sparse.kron(eye, one) + scipy.sparse.kron(one, eye))

    def fun(x):
        u = x.reshape(side, side)
        r = 4.0 * u + u**3
        r[1:] -= u[:-1]
        r[:-1] -= np.sin(u[1:])
        r[:, 1:] -= 2.0 * u[:, :-1]
        r[:, :-1] -= u[:, 1:] ** 2
        return r.reshape(-1)
    return pattern, fun


def assert_same(A, B):
    """Equal values at equal places, without making dense matrices of large ones."""
    assert A.shape == B.shape
    assert (scipy.sparse.csr_matrix(A) != scipy.sparse.csr_matrix(B)).nnz == 0


def arrays_of(J):
    return (J.data, J.indices, J.indptr)


@pytest.mark.parametrize("output", ["csr", "csc"])
def test_a_released_jacobians_memory_is_reused_and_each_matrix_stays_its_own(output):
    pattern, fun = grid(12)
    jac = SparseJacobian(fun, pattern, output=output)
    x = np.linspace(0.2, 1.4, 144)
    expected = jac(x).toarray()
    first = jac(x)
    addresses = [a.ctypes.data for a in arrays_of(first)]
    del first
    second = jac(x)  # from the memory the first gave back
    assert [a.ctypes.data for a in arrays_of(second)] == addresses
    third = jac(x)  # while the second is held: memory of its own
    for mine in arrays_of(third):
        assert not any(np.shares_memory(mine, other) for other in arrays_of(second))
    for J in (second, third):
        assert all(a.flags.writeable for a in arrays_of(J))
        np.testing.assert_array_equal(J.toarray(), expected)
    # A caller's in-place changes reach neither the other matrix nor the next one.
    second.data[:] = -1.0
    second.indices[:] = 0
    second.indptr[:] = 0
    np.testing.assert_array_equal(third.toarray(), expected)
    del second
    np.testing.assert_array_equal(jac(x).toarray(), expected)


def test_a_jacobian_outlives_its_evaluator_and_the_pool_keeps_no_more_than_asked():
    pattern, fun = grid(10)
    x = np.linspace(0.2, 1.4, 100)
    jac = SparseJacobian(fun, pattern)
    J = jac(x)
    kept = J.toarray()
    del jac
    gc.collect()
    rubbish = [np.full(len(J.data), 7.0) for _ in range(4)]  # would land where freed memory was
    np.testing.assert_array_equal(J.toarray(), kept)
    del rubbish

    indptr, indices = pattern.indptr.astype(np.int32), pattern.indices.astype(np.int32)
    nbytes = pattern.nnz * 8 + indices.nbytes + indptr.nbytes
    for keep, expected in [(0, 0), (nbytes - 1, indices.nbytes + indptr.nbytes), (nbytes, nbytes)]:
        pool = _passes.Pool(keep)
        data, index_block, pointer_block = pool.arrays(indptr, indices)
        assert len(np.frombuffer(data, np.float64)) == pattern.nnz
        np.testing.assert_array_equal(np.frombuffer(index_block, np.int32), indices)
        np.testing.assert_array_equal(np.frombuffer(pointer_block, np.int32), indptr)
        del pointer_block, index_block, data  # given back while they fit
        assert pool.kept == expected
    with pytest.raises(ValueError, match="keep must not be negative"):
        _passes.Pool(-1)


@pytest.mark.parametrize("method", ["2-point", "3-point"])
@pytest.mark.parametrize("output", ["csr", "csc"])
@pytest.mark.parametrize("bounded", [False, True])
def test_large_jacobians_equal_scipys_bit_for_bit(method, output, bounded):
    # Large enough for the helpers, and for the recovery to be cut among them.
    pattern, fun = grid(260)
    n = pattern.shape[0]
    x = np.random.default_rng(5).uniform(-2.0, 2.0, n)
    x[::7] = 0.0
    x[1::11] = -0.0
    bounds = (x - 1e-9, x + 1.0) if bounded else (-np.inf, np.inf)
    ours = estimate_jacobian(fun, x, method, sparsity=pattern, bounds=bounds, output=output)
    groups = SparseJacobian(fun, pattern).groups
    theirs = approx_derivative(fun, x, method=method, sparsity=(pattern, groups), bounds=bounds)
    assert ours.format == output
    assert_same(ours, theirs)


def test_the_recovery_reads_either_index_width_alike():
    pattern, fun = grid(20)
    n = pattern.shape[0]
    groups = SparseJacobian(fun, pattern).groups.astype(np.int64)
    rng = np.random.default_rng(2)
    rows = [rng.normal(size=n) for _ in range(groups.max() + 1)]
    base, steps = rng.normal(size=n), rng.uniform(1.0, 2.0, n)
    results = []
    for kind in (np.int32, np.int64):
        out = np.empty(pattern.nnz)
        _passes.recover(pattern.indptr.astype(kind), pattern.indices.astype(kind), groups, rows,
                          None, base, steps, n, True, out)
        results.append(out)
    coo = pattern.tocoo()
    expected = (np.array(rows)[groups[coo.col], coo.row] - base[coo.row]) / steps[coo.col]
    np.testing.assert_array_equal(results[0], results[1])
    np.testing.assert_array_equal(results[0], expected)
    with pytest.raises(ValueError, match="wrong type or length"):
        _passes.recover(pattern.indptr.astype(np.int64), pattern.indices.astype(np.int32),
                          groups, rows, None, base, steps, n, True, np.empty(pattern.nnz))


class Keeper:
    """A residual function that keeps some of its arguments, scribbles on the others once it
    has used them, or fails at a given call."""

    def __init__(self, fun, keep_every=1, fail_at=None):
        self.fun, self.keep_every, self.fail_at = fun, keep_every, fail_at
        self.kept, self.calls = [], 0

    def __call__(self, x):
        self.calls += 1
        if self.calls == self.fail_at:
            raise RuntimeError("failed at call %d" % self.calls)
        r = self.fun(x)
        if self.calls % self.keep_every == 0:
            self.kept.append((x, x.copy()))
        else:
            x[:] = np.nan  # the buffer is the function's until it returns
        return r


@pytest.mark.parametrize("method", ["2-point", "3-point"])
@pytest.mark.parametrize("keep_every", [1, 2, 3, 10**9])
@pytest.mark.parametrize("side", [9, 260])
def test_points_a_residual_function_keeps_are_never_written_over(method, keep_every, side):
    pattern, fun = grid(side)
    x = np.linspace(-1.0, 1.0, side * side)
    expected = estimate_jacobian(fun, x, method, sparsity=pattern)
    keeper = Keeper(fun, keep_every)
    jac = SparseJacobian(keeper, pattern, method=method)
    for _ in range(3):  # buffers also carry over from one Jacobian to the next
        assert_same(jac(x), expected)
    for point, as_evaluated in keeper.kept:
        np.testing.assert_array_equal(point, as_evaluated)


@pytest.mark.parametrize("fail_at", [1, 3])
def test_a_failing_residual_leaves_no_work_running_on_its_buffers(fail_at):
    pattern, fun = grid(260)
    x = np.linspace(-1.0, 1.0, LARGE)
    keeper = Keeper(fun, keep_every=10**9, fail_at=fail_at)
    jac = SparseJacobian(keeper, pattern)
    with pytest.raises(RuntimeError, match="failed at call %d" % fail_at):
        jac(x)
    gc.collect()
    y = x[::-1].copy()  # other steps and points, written into the same buffers
    assert_same(jac(y), estimate_jacobian(fun, y, "2-point", sparsity=pattern))


@pytest.mark.parametrize("n", [100, LARGE])
def test_work_on_a_helper_reports_what_it_was_given_wrong(n):
    x, out = np.ones(n), np.empty(n)
    rule = (1e-8, None, None, 0)
    for bad in ([n], [-1], [0, n + 5]):
        pending = _passes.start_perturb(x, np.array(bad, dtype=np.int64), out, None, rule, 0)
        for _ in range(2):  # and again: the outcome is kept
            with pytest.raises(ValueError, match="a column lies outside x"):
                pending.wait()
    with pytest.raises(ValueError, match="a column lies outside x"):
        _passes.perturb(x, np.array([n], dtype=np.int64), out, None, rule, 0)
    # A failed job that dies while another exception is on its way out leaves that one be.
    with pytest.raises(KeyError, match="kept"):
        pending = _passes.start_perturb(x, np.array([n], dtype=np.int64), out, None, rule, 0)
        try:
            raise KeyError("kept")
        finally:
            del pending
    same = _passes.start_same_indices(np.arange(n, dtype=np.int32), np.arange(n, dtype=np.int32))
    differs = _passes.start_same_indices(np.arange(n, dtype=np.int32), np.arange(n, 0, -1, dtype=np.int32))
    assert same.wait() is True and differs.wait() is False


@pytest.mark.parametrize("output", ["csr", "csc"])
def test_a_large_out_is_compared_before_anything_is_evaluated(output):
    pattern, fun = grid(260)
    x = np.linspace(-1.0, 1.0, LARGE)
    counted = Keeper(fun, keep_every=10**9)
    jac = SparseJacobian(counted, pattern, output=output)
    J = jac(x)
    y = x[::-1].copy()
    assert jac(y, out=J) is J
    assert_same(J, estimate_jacobian(fun, y, "2-point", sparsity=pattern, output=output))
    J.indices[[7, 8]] = J.indices[[8, 7]]
    calls = counted.calls
    with pytest.raises(ValueError, match="out must be a %s matrix with the pattern" % output):
        jac(x, out=J)
    assert counted.calls == calls


def _large_jacobian_sum(_):
    pattern, fun = grid(260)
    J = SparseJacobian(fun, pattern)(np.linspace(-1.0, 1.0, LARGE))
    return float(np.abs(J.data).sum())


def _threads():
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("Threads:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/status") or not hasattr(os, "fork"),
                    reason="needs fork and Linux's /proc")
def test_helpers_end_before_a_fork_and_a_child_gets_its_own():
    import multiprocessing

    expected = _large_jacobian_sum(None)
    running = _threads()
    _passes.stop_helpers()  # what runs before every fork
    alone = _threads()
    assert alone < running or os.cpu_count() == 1
    assert _large_jacobian_sum(None) == expected and _threads() == running  # started again
    with multiprocessing.get_context("fork").Pool(1) as pool:
        # Had the child inherited the parent's helpers, waiting on them would hang.
        assert pool.apply_async(_large_jacobian_sum, (None,)).get(timeout=120) == expected
        assert pool.apply_async(_threads).get(timeout=60) <= running


def test_a_point_is_never_written_over_the_values_it_is_copied_from():
    x = np.ones(2 * LARGE)
    rule = (1e-8, None, None, 0)
    columns = np.array([0], dtype=np.int64)
    for start in (_passes.perturb, _passes.start_perturb):
        with pytest.raises(ValueError, match="wrong type or length"):
            start(x[:LARGE], columns, x[10:LARGE + 10], None, rule, 0)
