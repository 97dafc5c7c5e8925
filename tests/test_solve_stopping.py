"""How vendrel.solve.root stops: within its evaluation budget, with success wherever a point
meets ftol, and with the best point, by the norm that decides success, where it fails."""

import re

import numpy as np
import pytest
import scipy.sparse

from vendrel.jacobian import SparseJacobian
from vendrel.solve import root


class Counted:
    """fun, counting its calls."""

    def __init__(self, fun):
        self.fun, self.calls = fun, 0

    def __call__(self, x):
        self.calls += 1
        return self.fun(x)


def chain(x):
    # tridiagonal: three groups, so a 3-point Jacobian costs six evaluations with f(x) given
    return x**3 + x - np.r_[x[1:], 0.0] - np.r_[0.0, x[:-1]] - 1.0


CHAIN = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(8, 8), format="csr")


@pytest.mark.parametrize("max_nfev", [1, 3, 4, 5, 6, 7, 8, 10, 14, 15, 21])
# from x0 on the lower bound, the differences are one-sided
@pytest.mark.parametrize("bounds", [(-np.inf, np.inf), (0.0, 10.0)])
def test_a_three_point_jacobian_keeps_within_max_nfev(max_nfev, bounds):
    fun = Counted(chain)
    jac = SparseJacobian(fun, CHAIN, method="3-point", bounds=bounds)
    assert jac.cost(f0_given=True) == 6
    result = root(fun, np.zeros(8), jac=jac, bounds=bounds, max_nfev=max_nfev)
    assert fun.calls == result.nfev <= max_nfev
    assert result.jac_nfev == jac.evaluations == 6 * result.njev
    assert result.status == -1 and not result.success


LINEAR = scipy.sparse.diags([-1.0, 4.0, -1.0], [-1, 0, 1], shape=(6, 6), format="csr")


@pytest.mark.parametrize("globalization", ["line_search", "dogleg"])
def test_a_step_that_meets_ftol_succeeds_though_the_callback_asks_to_stop(globalization):
    # Linear, with its exact Jacobian: the first Newton step leaves only rounding.
    b = np.arange(1.0, 7.0)
    seen = []

    def stop_always(x, f):
        seen.append(np.abs(f).max())
        return True

    result = root(lambda x: LINEAR @ x - b, np.zeros(6), jac=lambda x: LINEAR,
                  globalization=globalization, callback=stop_always)
    assert result.success and result.status == 1 and result.message == "max|F| fell to ftol"
    assert result.nit == 1 and len(seen) == 1 and seen[0] <= 1e-8
    np.testing.assert_allclose(LINEAR @ result.x, b, rtol=1e-14)


def bent(w):
    """F = (x_0, x_i + w x_0^2): from x with x_i = c - w x_0^2, Newton's step lands at
    (0, c + w x_0^2), where every residual but the first is w x_0^2."""
    def fun(x):
        return np.r_[x[0], x[1:] + w * x[0] ** 2]

    def jac(x):
        J = np.eye(len(x))
        J[1:, 0] = 2.0 * w * x[0]
        return J

    return fun, jac


@pytest.mark.parametrize("globalization", ["line_search", "dogleg"])
def test_a_trial_point_that_meets_ftol_is_taken_though_its_two_norm_rose(globalization):
    # max|F| falls from 1.5e-8 to 1e-8, below ftol; ||F|| rises from 1.5e-8 to 2e-8.
    a, ftol = 1.5e-8, 1.2e-8
    fun, jac = bent(1e-8 / a**2)
    x0 = np.r_[a, np.full(4, -1e-8)]
    result = root(fun, x0, jac=jac, ftol=ftol, globalization=globalization)
    assert result.success and result.status == 1
    assert result.nit == 1 and result.nfev == 2  # the first trial, taken
    assert np.abs(result.fun).max() <= ftol < np.abs(fun(x0)).max()
    assert np.linalg.norm(result.fun) > np.linalg.norm(fun(x0))
    np.testing.assert_allclose(result.x, np.r_[0.0, np.full(4, 1e-8)], rtol=1e-12, atol=1e-22)


NEWTON_POINT = np.r_[0.0, np.full(4, 1.05)]


@pytest.mark.parametrize("f_scale, best", [
    # ||F|| falls from sqrt(5) to 2.1, max|F| rises from 1 to 1.05: x0 is the best
    (1.0, np.r_[1.0, np.full(4, -0.05)]),
    # weighted, max|f_scale F| falls from 1 to 0.525: the Newton point is
    (np.r_[1.0, np.full(4, 0.5)], NEWTON_POINT),
])
def test_a_failed_solve_returns_the_best_point_by_the_norm_that_decides_success(f_scale, best):
    fun, jac = bent(1.05)
    x0 = np.r_[1.0, np.full(4, -0.05)]
    result = root(fun, x0, jac=jac, f_scale=f_scale, max_iter=1)
    assert result.status == 0 and not result.success and result.nit == 1 and result.nfev == 2
    np.testing.assert_allclose(result.x, best, rtol=1e-14, atol=1e-15)
    np.testing.assert_array_equal(result.fun, fun(result.x))


@pytest.mark.parametrize("f_scale", [1.0, 1e-3, [1e-3, 1.0], [1.0, 1e3]])
def test_dogleg_models_the_weighted_norm(f_scale):
    # arctan flattens far from its root: a model that ignored f_scale mispredicted the
    # weighted reduction and shrank the trust region to nothing.
    def fun(x):
        return np.array([np.arctan(x[0]), x[1]])

    result = root(fun, [10.0, 1.0], sparsity=np.ones((2, 2)), globalization="dogleg",
                  f_scale=f_scale, ftol=1e-13)
    assert result.success, result.message
    assert np.abs(np.asarray(f_scale) * fun(result.x)).max() <= 1e-13


@pytest.mark.parametrize("dense, jac_update, named", [
    ([0], "every", "row 0 has entries in most of the 40 columns: each Jacobian costs 40 "
                   "evaluations for 40 unknowns; jac_update='broyden'"),
    ([3, 9], "broyden", "rows 3, 9 have entries in most of the 40 columns: each Jacobian "
                        "costs 40 evaluations for 40 unknowns"),
])
def test_dense_rows_are_named_with_their_cost(dense, jac_update, named):
    n = 40
    pattern = np.eye(n, dtype=bool) | np.eye(n, k=1, dtype=bool)
    pattern[dense, :] = True

    def fun(x):
        r = x**3 - 1.0
        r[dense] += 1e-3 * x.sum()
        return r

    with pytest.warns(RuntimeWarning, match=re.escape(named)):
        result = root(fun, np.full(n, 0.9), sparsity=pattern, jac_update=jac_update)
    assert result.success


def test_a_sparse_pattern_is_not_called_dense(recwarn):
    n = 40
    pattern = np.eye(n, dtype=bool) | np.eye(n, k=1, dtype=bool)
    root(lambda x: x**3 - 1.0, np.full(n, 0.9), sparsity=pattern)
    assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]
