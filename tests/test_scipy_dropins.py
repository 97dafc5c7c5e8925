"""Scripts written for SciPy, run with the import changed to vendrel.scipy: the same results
(bit for bit where SciPy's difference steps are kept) for fewer residual evaluations."""

import inspect

import numpy as np
import pytest
import scipy.integrate
import scipy.optimize
import scipy.sparse
from scipy.optimize._numdiff import approx_derivative as scipy_approx_derivative

import vendrel.scipy
from vendrel.jacobian import SparseJacobian
from brusselator import Counted
from brusselator import pattern as brusselator_pattern
from brusselator import start as brusselator_start

N = 30  # Brusselator grid points: 60 unknowns, u and v interleaved


def brusselator(t, y, alpha=0.02):
    # Written with concatenate, which tracing follows, and for y of shape
    # (n,) or (n, k), as solve_ivp's vectorized=True asks.
    u, v = y[0::2], y[1::2]
    c = alpha * (N + 1) ** 2
    ones = np.ones((1,) + u.shape[1:])

    def second(w, edge):
        padded = np.concatenate([edge * ones, w, edge * ones])
        return padded[:-2] - 2.0 * w + padded[2:]

    du = 1.0 + u * u * v - 4.0 * u + c * second(u, 1.0)
    dv = 3.0 * u - u * u * v + c * second(v, 3.0)
    return np.stack([du, dv], axis=1).reshape(y.shape)





def run_both(name, module, fun, *args, **kwargs):
    """The same call with SciPy's function and ours, each on a counted copy of fun."""
    theirs, ours = Counted(fun), Counted(fun)
    return (getattr(module, name)(theirs, *args, **kwargs), theirs.calls,
            getattr(vendrel.scipy, name)(ours, *args, **kwargs), ours.calls)


@pytest.mark.parametrize("name, module", [
    ("approx_derivative", scipy.optimize._numdiff), ("solve_ivp", scipy.integrate),
    ("least_squares", scipy.optimize), ("root", scipy.optimize), ("fsolve", scipy.optimize),
])
def test_signatures_are_scipys(name, module):
    def plain(function):
        return [(p.name, p.kind, p.default)
                for p in inspect.signature(function).parameters.values()]

    # SciPy's parameters in SciPy's order; a newer SciPy's additions (taken only where the
    # installed one has them) may follow at the end.
    ours, theirs = plain(getattr(vendrel.scipy, name)), plain(getattr(module, name))
    # defaults that changed between releases: the newest's, and an older SciPy gets its own
    changed = {("least_squares", "x_scale"), ("least_squares", "tr_options"),
               ("least_squares", "kwargs"), ("approx_derivative", "kwargs")}
    assert [(p[0], p[1]) for p in ours[:len(theirs)]] == [(p[0], p[1]) for p in theirs]
    assert [p for p in ours[:len(theirs)] if (name, p[0]) not in changed] == \
        [p for p in theirs if (name, p[0]) not in changed]
    assert {p[0] for p in ours[len(theirs):]} <= {"full_output", "workers", "callback"}


@pytest.mark.parametrize("method, vectorized, given", [
    ("BDF", False, True), ("BDF", True, True), ("Radau", False, True), ("BDF", False, False),
    ("Radau", True, False),
])
def test_solve_ivp_bdf_and_radau_are_scipys_bit_for_bit(method, vectorized, given):
    options = dict(jac_sparsity=brusselator_pattern(N)) if given else {}
    theirs, their_calls, ours, our_calls = run_both(
        "solve_ivp", scipy.integrate, brusselator, (0.0, 10.0), brusselator_start(N),
        method=method, rtol=1e-6, atol=1e-8, vectorized=vectorized, **options)
    assert ours.success and theirs.success
    np.testing.assert_array_equal(ours.t, theirs.t)
    np.testing.assert_array_equal(ours.y, theirs.y)
    assert (ours.nfev, ours.njev, ours.nlu) == (theirs.nfev, theirs.njev, theirs.nlu)
    # BDF evaluates f again for every Jacobian, Radau hands its own on: here BDF's comes from
    # the solver's last evaluations. Without a pattern SciPy differences all 60 columns, here
    # the 5 traced groups, after one traced call. Vectorized, a Jacobian is one call of all
    # its columns either way.
    if vectorized:
        assert our_calls <= their_calls + (not given)
    else:
        saved = (theirs.njev if method == "BDF" else 0) + \
            (0 if given else theirs.njev * (2 * N - 5) - 1)
        assert their_calls - our_calls >= saved and our_calls < their_calls


STIFF = (1.0,)  # alpha: diffusion fast enough for LSODA to switch to its stiff method


def test_lsoda_uses_the_pattern_scipy_ignores():
    theirs_fun, ours_fun = Counted(brusselator), Counted(brusselator)
    with pytest.warns(UserWarning, match="jac_sparsity"):
        theirs = scipy.integrate.solve_ivp(theirs_fun, (0.0, 10.0), brusselator_start(N),
                                           method="LSODA", rtol=1e-6, atol=1e-8, args=STIFF,
                                           jac_sparsity=brusselator_pattern(N))
    ours = vendrel.scipy.solve_ivp(ours_fun, (0.0, 10.0), brusselator_start(N), method="LSODA",
                                   rtol=1e-6, atol=1e-8, args=STIFF,
                                   jac_sparsity=brusselator_pattern(N))
    assert ours.success and theirs.success and ours.njev >= 2
    np.testing.assert_allclose(ours.y[:, -1], theirs.y[:, -1], rtol=1e-4)
    # LSODA differences all 60 columns; here 5 groups, on its own f(y)
    assert ours_fun.calls < theirs_fun.calls / 2


@pytest.mark.parametrize("method", ["RK45", "DOP853"])
def test_solve_ivp_explicit_methods_are_scipys_call(method):
    with pytest.warns(UserWarning, match="jac_sparsity") as warned:  # SciPy's, from both
        theirs, their_calls, ours, our_calls = run_both(
            "solve_ivp", scipy.integrate, brusselator, (0.0, 0.1), brusselator_start(N),
            method=method, jac_sparsity=brusselator_pattern(N))
    assert len(warned) == 2
    np.testing.assert_array_equal(ours.y, theirs.y)
    assert our_calls == their_calls


def bounded_residual(x):
    # log(1 - x) is NaN beyond the bound x <= 1, where a difference from a point next to it
    # would step; a column depends on its neighbours on either side.
    shifted = np.concatenate([x[1:], [0.0]]) + np.concatenate([[0.0], x[:-1]])
    return np.log1p(-x) + 3.0 * x + 0.2 * shifted - 1.0 + 0.1 * x[0]


@pytest.mark.parametrize("method", ["trf", "dogbox"])
@pytest.mark.parametrize("jac, given", [("2-point", True), ("3-point", True), ("2-point", False)])
def test_least_squares_is_scipys_bit_for_bit_within_the_bounds(method, jac, given):
    n = 40
    pattern = scipy.sparse.diags([1.0] * 3, [-1, 0, 1], shape=(n, n), format="lil")
    pattern[:, 0] = 1.0  # a dense first column: SciPy's greedy grouping pays for it
    options = dict(jac_sparsity=pattern.tocsr()) if given else {}
    x0 = np.full(n, 1.0 - 1e-9)  # closer to the bound than a difference step
    with np.errstate(invalid="raise", divide="raise"):  # no evaluation beyond the bound
        theirs, their_calls, ours, our_calls = run_both(
            "least_squares", scipy.optimize, bounded_residual, x0, jac=jac, method=method,
            bounds=(-np.inf, 1.0), **options)
    assert ours.success and theirs.success
    for key in ("x", "cost", "fun", "grad", "optimality", "active_mask"):
        np.testing.assert_array_equal(ours[key], theirs[key])
    assert type(ours.jac) is type(theirs.jac)
    np.testing.assert_array_equal(scipy.sparse.csr_array(ours.jac).toarray(),
                                  scipy.sparse.csr_array(theirs.jac).toarray())
    assert (ours.nfev, ours.njev, ours.status) == (theirs.nfev, theirs.njev, theirs.status)
    assert our_calls < their_calls


def test_least_squares_traced_three_point_agrees_where_scipy_rounds():
    # SciPy's dense one-sided 3-point formula leaves rounding errors (-3 f0 + 4 f1 - f2 with
    # f1 = f2 = f0) where the Jacobian is zero; the traced pattern leaves exact zeros.
    n = 40
    x0 = np.full(n, 1.0 - 1e-9)
    theirs, their_calls, ours, our_calls = run_both(
        "least_squares", scipy.optimize, bounded_residual, x0, jac="3-point",
        bounds=(-np.inf, 1.0))
    assert ours.success and theirs.success
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-8)
    assert ours.cost == pytest.approx(theirs.cost, rel=1e-8)
    assert our_calls < their_calls / 4


@pytest.mark.parametrize("method, traced", [("lm", False), ("trf", True)])
def test_least_squares_lm_and_untraceable_functions_are_scipys_call(method, traced):
    def untraceable(x):
        first = float(x[0])  # a value read as a plain number: no tracer can follow it
        return np.concatenate([[first - 1.0], x[1:] - x[:-1] ** 2])

    theirs, their_calls, ours, our_calls = run_both(
        "least_squares", scipy.optimize, untraceable, np.zeros(6), method=method)
    np.testing.assert_array_equal(ours.x, theirs.x)
    assert our_calls == their_calls + traced  # the call that tried to trace it


def broyden_tridiagonal(x):
    padded = np.concatenate([[0.0], x, [0.0]])
    return (3.0 - 2.0 * x) * x - padded[:-2] - 2.0 * padded[2:] + 1.0


@pytest.mark.parametrize("method", ["hybr", "lm"])
def test_root_minpack_with_a_traced_pattern(method):
    n = 200
    theirs, their_calls, ours, our_calls = run_both(
        "root", scipy.optimize, broyden_tridiagonal, -np.ones(n), method=method)
    assert ours.success and theirs.success
    assert np.abs(broyden_tridiagonal(ours.x)).max() < 1e-7
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-7)
    # three groups per Jacobian instead of n
    assert our_calls < their_calls / 10


def test_root_hybr_with_a_band_is_scipys_call():
    # MINPACK differences a band in one evaluation per diagonal already, on its own f(x)
    theirs, their_calls, ours, our_calls = run_both(
        "root", scipy.optimize, broyden_tridiagonal, -np.ones(50), method="hybr",
        options={"band": (1, 1)})
    np.testing.assert_array_equal(ours.x, theirs.x)
    assert our_calls == their_calls


def test_fsolve_with_a_traced_pattern():
    n = 100
    theirs = Counted(broyden_tridiagonal)
    x_theirs, info_theirs, ier_theirs, _ = scipy.optimize.fsolve(theirs, -np.ones(n),
                                                                 full_output=True)
    ours = Counted(broyden_tridiagonal)
    x_ours, info_ours, ier_ours, _ = vendrel.scipy.fsolve(ours, -np.ones(n), full_output=True)
    assert ier_ours == ier_theirs == 1
    np.testing.assert_allclose(x_ours, x_theirs, rtol=1e-7)
    assert info_ours["njev"] >= 1 and ours.calls < theirs.calls


@pytest.mark.parametrize("method", ["krylov", "broyden1"])
def test_root_methods_without_a_jacobian_are_scipys_call(method):
    theirs, their_calls, ours, our_calls = run_both(
        "root", scipy.optimize, broyden_tridiagonal, -np.ones(20), method=method)
    np.testing.assert_array_equal(ours.x, theirs.x)
    assert our_calls == their_calls


def fun_band(x):
    return x ** 3 - 2.0 * np.concatenate([x[1:], [0.0]]) + np.sin(x)


@pytest.mark.parametrize("kind, expected", [
    (lambda p: scipy.sparse.csr_matrix(p), scipy.sparse.csr_matrix),
    (lambda p: scipy.sparse.dia_matrix(p), scipy.sparse.csr_matrix),
    (lambda p: scipy.sparse.csr_array(p), scipy.sparse.csr_array),
    (lambda p: p, scipy.sparse.csr_array),
    (lambda p: (scipy.sparse.csc_matrix(p), np.arange(p.shape[1]) % 2), scipy.sparse.csr_matrix),
])
@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_approx_derivative_returns_scipys_type_and_values(kind, expected, method):
    n = 12
    pattern = np.eye(n) + np.eye(n, k=1)
    x0 = np.linspace(-1.0, 2.0, n)
    # SciPy counts its evaluations itself from 1.16 on (full_output); a wrapper counts here
    theirs_counted, ours_counted = Counted(fun_band), Counted(fun_band)
    theirs = scipy_approx_derivative(theirs_counted, x0, method, sparsity=kind(pattern))
    ours = vendrel.scipy.approx_derivative(ours_counted, x0, method, sparsity=kind(pattern))
    info_theirs, info_ours = {"nfev": theirs_counted.calls}, {"nfev": ours_counted.calls}
    # SciPy's type for this input, on this release (before sparse arrays were passed through,
    # every sparse structure gave a matrix)
    assert type(ours) is type(theirs)
    assert type(theirs) is expected or type(theirs) is scipy.sparse.csr_matrix
    np.testing.assert_array_equal(ours.toarray(), theirs.toarray())
    assert info_ours["nfev"] < info_theirs["nfev"] or method == "2-point"
    assert info_ours["nfev"] <= info_theirs["nfev"]
    # A product stays a product: J * v on a matrix, as SciPy's gives.
    v = np.ones(n)
    np.testing.assert_array_equal(np.asarray(ours @ v), np.asarray(theirs @ v))


def test_approx_derivative_without_sparsity_is_scipys_call():
    x0 = np.linspace(-1.0, 2.0, 5)
    np.testing.assert_array_equal(vendrel.scipy.approx_derivative(fun_band, x0),
                                  scipy_approx_derivative(fun_band, x0))


def test_a_sparse_jacobian_given_to_solve_ivp_says_what_to_use():
    jac = SparseJacobian(lambda y: brusselator(0.0, y), brusselator_pattern(N))
    with pytest.raises(TypeError) as raised:
        scipy.integrate.solve_ivp(brusselator, (0.0, 1.0), brusselator_start(N), method="BDF",
                                  jac=jac)
    assert "vendrel.scipy.solve_ivp" in str(raised.value)
    assert "SparseJacobian.for_ivp" in str(raised.value)


@pytest.mark.parametrize("function, call", [
    ("root", lambda f, jac: scipy.optimize.root(f, -np.ones(10), method="hybr", jac=jac)),
    ("root", lambda f, jac: scipy.optimize.root(f, -np.ones(10), method="lm", jac=jac)),
    ("fsolve", lambda f, jac: scipy.optimize.fsolve(f, -np.ones(10), fprime=jac)),
])
def test_a_sparse_jacobian_given_to_minpack_says_what_to_use(function, call):
    pattern = np.eye(10) + np.eye(10, k=1) + np.eye(10, k=-1)
    with pytest.raises(TypeError) as raised:
        call(broyden_tridiagonal, SparseJacobian(broyden_tridiagonal, pattern))
    assert "vendrel.scipy.%s" % function in str(raised.value)
    assert "SparseJacobian.for_minpack" in str(raised.value)
    # A dense one is what MINPACK takes: no error
    found = scipy.optimize.root(broyden_tridiagonal, -np.ones(10), method="hybr",
                                jac=SparseJacobian(broyden_tridiagonal, pattern, output="dense"))
    assert found.success


def test_an_adapter_without_the_solvers_bounds_refuses_to_step_past_them():
    n = 10
    pattern = np.eye(n) + np.eye(n, k=1) + np.eye(n, k=-1)
    jac = SparseJacobian.for_least_squares(bounded_residual, pattern)
    with pytest.raises(ValueError, match="give for_least_squares the same bounds"):
        scipy.optimize.least_squares(jac.fun, np.full(n, 0.5), jac=jac, bounds=(-np.inf, 1.0))
    # With the same bounds, and for lm (which takes only dense Jacobians, and no bounds)
    bounded = SparseJacobian.for_least_squares(bounded_residual, pattern, (-np.inf, 1.0))
    assert scipy.optimize.least_squares(bounded.fun, np.full(n, 0.5), jac=bounded,
                                        bounds=(-np.inf, 1.0)).success
    free = SparseJacobian.for_least_squares(bounded_residual, pattern)
    found = scipy.optimize.least_squares(free.fun, np.full(n, 0.5), jac=free, method="lm")
    assert found.success and free.reused == free.calls


@pytest.mark.parametrize("method, output", [("BDF", "csc"), ("LSODA", "dense")])
def test_for_ivp_serves_vectorized_rhs_and_lsoda(method, output):
    rhs = Counted(brusselator)
    ivp = SparseJacobian.for_ivp(rhs, brusselator_pattern(N), vectorized=True, output=output)
    done = scipy.integrate.solve_ivp(ivp.fun, (0.0, 5.0), brusselator_start(N), method=method,
                                     jac=ivp, vectorized=True, rtol=1e-6, atol=1e-8,
                                     args=STIFF)
    reference = scipy.integrate.solve_ivp(brusselator, (0.0, 5.0), brusselator_start(N),
                                          method="Radau", rtol=1e-8, atol=1e-10, args=STIFF)
    assert done.success
    np.testing.assert_allclose(done.y[:, -1], reference.y[:, -1], rtol=1e-4)
    # Every Jacobian is asked for where the solver has just evaluated f, at a point of shape
    # (n, 1): all of them are spared f(y).
    assert ivp.calls >= 1 and ivp.reused == ivp.calls


def test_importing_it_imports_no_solver():
    # The compiled module imports "scipy.linalg" relative to the package first, which finds
    # this module: importing it must stay cheap and leave SciPy's solvers alone.
    import subprocess
    import sys

    code = ("import sys, vendrel.sparse_solver, vendrel.scipy; "
            "print(sorted(m for m in ('scipy.integrate', 'scipy.optimize', 'vendrel.jacobian') "
            "if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
