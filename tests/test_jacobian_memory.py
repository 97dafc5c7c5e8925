"""Jacobians made from reused memory, and the recovery shared among threads: each matrix
stays its own, and the values are SciPy's, bit for bit, however the work is cut."""

import gc

import numpy as np
import pytest
import scipy.sparse
from scipy.optimize._numdiff import approx_derivative

from vendrel import _grouping
from vendrel.jacobian import SparseJacobian, estimate_jacobian


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
        pool = _grouping.Pool(keep)
        data, index_block, pointer_block = pool.arrays(indptr, indices)
        assert len(np.frombuffer(data, np.float64)) == pattern.nnz
        np.testing.assert_array_equal(np.frombuffer(index_block, np.int32), indices)
        np.testing.assert_array_equal(np.frombuffer(pointer_block, np.int32), indptr)
        del pointer_block, index_block, data  # given back while they fit
        assert pool.kept == expected
    with pytest.raises(ValueError, match="keep must not be negative"):
        _grouping.Pool(-1)


@pytest.mark.parametrize("method", ["2-point", "3-point"])
@pytest.mark.parametrize("output", ["csr", "csc"])
@pytest.mark.parametrize("bounded", [False, True])
def test_large_jacobians_equal_scipys_bit_for_bit(method, output, bounded):
    # Large enough that the recovery is cut among threads wherever there are two cores.
    pattern, fun = grid(180)  # 1.6 x 10^5 entries
    n = pattern.shape[0]
    x = np.random.default_rng(5).uniform(-2.0, 2.0, n)
    x[::7] = 0.0
    x[1::11] = -0.0
    bounds = (x - 1e-9, x + 1.0) if bounded else (-np.inf, np.inf)
    ours = estimate_jacobian(fun, x, method, sparsity=pattern, bounds=bounds, output=output)
    groups = SparseJacobian(fun, pattern).groups
    theirs = approx_derivative(fun, x, method=method, sparsity=(pattern, groups), bounds=bounds)
    assert ours.format == output
    difference = (scipy.sparse.csr_matrix(ours) != scipy.sparse.csr_matrix(theirs))
    assert difference.nnz == 0


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
        _grouping.recover(pattern.indptr.astype(kind), pattern.indices.astype(kind), groups, rows,
                          None, base, steps, n, True, out)
        results.append(out)
    coo = pattern.tocoo()
    expected = (np.array(rows)[groups[coo.col], coo.row] - base[coo.row]) / steps[coo.col]
    np.testing.assert_array_equal(results[0], results[1])
    np.testing.assert_array_equal(results[0], expected)
    with pytest.raises(ValueError, match="wrong type or length"):
        _grouping.recover(pattern.indptr.astype(np.int64), pattern.indices.astype(np.int32),
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
def test_points_a_residual_function_keeps_are_never_written_over(method, keep_every):
    pattern, fun = grid(9)
    x = np.linspace(-1.0, 1.0, 81)
    expected = estimate_jacobian(fun, x, method, sparsity=pattern).toarray()
    keeper = Keeper(fun, keep_every)
    jac = SparseJacobian(keeper, pattern, method=method)
    for _ in range(3):  # buffers also carry over from one Jacobian to the next
        np.testing.assert_array_equal(jac(x).toarray(), expected)
    for point, as_evaluated in keeper.kept:
        np.testing.assert_array_equal(point, as_evaluated)


def test_a_failing_residual_leaves_no_point_being_written():
    pattern, fun = grid(40)
    x = np.linspace(-1.0, 1.0, 1600)
    keeper = Keeper(fun, keep_every=10**9, fail_at=3)
    jac = SparseJacobian(keeper, pattern)
    with pytest.raises(RuntimeError, match="failed at call 3"):
        jac(x)
    gc.collect()
    np.testing.assert_array_equal(jac(x).toarray(),
                                  estimate_jacobian(fun, x, "2-point", sparsity=pattern).toarray())
