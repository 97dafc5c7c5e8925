"""SciPy's solvers with grouped-difference Jacobians: solve_ivp, least_squares with bounds, and
root's MINPACK methods, each run for real."""

import numpy as np
import pytest
import scipy.sparse
from scipy.integrate import solve_ivp
from scipy.optimize import least_squares
from scipy.optimize import root as scipy_root

from vendrel.jacobian import SparseJacobian
from brusselator import Counted
from brusselator import pattern as brusselator_pattern
from brusselator import start as brusselator_start

N = 40  # Brusselator grid points: 80 unknowns, u and v interleaved


def brusselator(t, y, alpha=0.02):
    u, v = y[0::2], y[1::2]
    c = alpha * (N + 1) ** 2

    def second(w, edge):
        padded = np.r_[edge, w, edge]
        return padded[:-2] - 2.0 * w + padded[2:]

    dy = np.empty_like(y)
    dy[0::2] = 1.0 + u * u * v - 4.0 * u + c * second(u, 1.0)
    dy[1::2] = 3.0 * u - u * u * v + c * second(v, 3.0)
    return dy





@pytest.mark.parametrize("method", ["BDF", "Radau"])
def test_solve_ivp_with_a_grouped_jacobian(method):
    rhs = Counted(brusselator)
    ivp = SparseJacobian.for_ivp(rhs, brusselator_pattern(N))
    ours = solve_ivp(ivp.fun, (0.0, 10.0), brusselator_start(N), method=method, jac=ivp,
                     rtol=1e-6, atol=1e-8)
    reference = solve_ivp(brusselator, (0.0, 10.0), brusselator_start(N), method=method,
                          jac_sparsity=brusselator_pattern(N), rtol=1e-6, atol=1e-8)
    assert ours.success and reference.success
    np.testing.assert_allclose(ours.y[:, -1], reference.y[:, -1], rtol=1e-4, atol=1e-6)
    # Every evaluation is one the solver made or one of a Jacobian's. Both ask for every
    # Jacobian where they have evaluated f: BDF after up to four Newton evaluations there,
    # all of them remembered.
    assert rhs.calls == ours.nfev + ivp.evaluations
    assert ivp.calls == ours.njev
    assert ivp.evaluations == 5 * ivp.calls + (ivp.calls - ivp.reused)
    assert ivp.reused == ours.njev


def test_solve_ivp_passes_args_through():
    ivp = SparseJacobian.for_ivp(brusselator, brusselator_pattern(N))
    done = solve_ivp(ivp.fun, (0.0, 1.0), brusselator_start(N), method="BDF", jac=ivp,
                     args=(0.05,))
    reference = solve_ivp(brusselator, (0.0, 1.0), brusselator_start(N), method="BDF",
                          args=(0.05,))
    np.testing.assert_allclose(done.y[:, -1], reference.y[:, -1], rtol=1e-3)


def bounded_residual(x):
    # log(1 - x) is NaN beyond the bound x <= 1, where a forward difference from a point
    # just below it would step.
    return np.log1p(-x) + 3.0 * x + 0.2 * np.r_[x[1:], 0.0] - 1.0


def test_least_squares_differences_stay_within_the_bounds():
    n = 30
    pattern = np.eye(n, dtype=bool) | np.eye(n, k=1, dtype=bool)
    bounds = (-np.inf, 1.0)
    x0 = np.full(n, 1.0 - 1e-9)  # closer to the bound than a difference step
    fun = Counted(bounded_residual)
    jac = SparseJacobian.for_least_squares(fun, pattern, bounds)
    with np.errstate(invalid="raise", divide="raise"):  # no evaluation beyond the bound
        ours = least_squares(jac.fun, x0, jac=jac, bounds=bounds)
    reference = least_squares(bounded_residual, x0, jac_sparsity=pattern, bounds=bounds)
    assert ours.success and np.all(ours.x < 1.0)
    assert ours.cost == pytest.approx(reference.cost, rel=1e-8)
    np.testing.assert_allclose(ours.x, reference.x, rtol=1e-5)
    assert fun.calls == ours.nfev + jac.evaluations
    assert jac.reused == ours.njev  # least_squares asks for J where it has just evaluated f


@pytest.mark.parametrize("method", ["hybr", "lm"])
def test_minpack_gets_a_dense_jacobian(method):
    def broyden_tridiagonal(x):
        padded = np.r_[0.0, x, 0.0]
        return (3.0 - 2.0 * x) * x - padded[:-2] - 2.0 * padded[2:] + 1.0

    n = 20
    pattern = scipy.sparse.diags([1.0] * 3, [-1, 0, 1], shape=(n, n))
    fun = Counted(broyden_tridiagonal)
    jac = SparseJacobian.for_minpack(fun, pattern)
    solver = Counted(jac.fun)
    ours = scipy_root(solver, -np.ones(n), method=method, jac=jac)
    assert ours.success, ours.message
    assert np.abs(broyden_tridiagonal(ours.x)).max() < 1e-7
    # Counted at the solver's side: SciPy before 1.15 leaves its shape check out of nfev
    assert fun.calls == solver.calls + jac.evaluations
    # three groups; f(x) is spared where MINPACK has just evaluated it
    assert jac.reused >= 1 and jac.evaluations == 3 * jac.calls + (jac.calls - jac.reused)


@pytest.mark.parametrize("make, output, allowed", [
    ("for_ivp", "csr", "'csc' or 'dense'"),
    ("for_least_squares", "csc", "'csr' or 'dense'"),
    ("for_minpack", "csr", "'dense'"),
])
def test_output_is_one_the_solver_takes(make, output, allowed):
    with pytest.raises(TypeError) as raised:
        getattr(SparseJacobian, make)(np.sin, np.eye(3), output=output)
    assert str(raised.value) == ("output is set by the solver the Jacobian is for: %s, not %r"
                                 % (allowed, output))
