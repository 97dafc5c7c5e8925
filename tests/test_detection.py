"""detect_sparsity: the pattern by raising one component at a time, against compute_pattern."""

import contextlib
import io
import re

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

from vendrel.jacobian import detect_sparsity, estimate_jacobian
from vendrel.sparse_solver import SparseSolver


class Structured(SparseSolver):
    """r_i = x_i + sum over j in S_i of c_ij x_j**2 + sin(x_j), and NaN where asked."""

    def __init__(self, structure, coefficients, nan_rows=()):
        self.structure, self.coefficients, self.nan_rows = structure, coefficients, list(nan_rows)
        self.calls = 0

    def compute_residuals(self, x):
        self.calls += 1
        r = x.copy()
        for i, (members, weights) in enumerate(zip(self.structure, self.coefficients)):
            r[i] += np.dot(weights, x[members] ** 2) + np.sin(x[members]).sum()
        r[self.nan_rows] = np.nan
        return r


@st.composite
def solvers(draw):
    n = draw(st.integers(1, 12))
    structure = [sorted(draw(st.sets(st.integers(0, n - 1), max_size=3))) for _ in range(n)]
    coefficients = [np.array(draw(st.lists(st.floats(-3, 3), min_size=len(s), max_size=len(s))))
                    for s in structure]
    nan_rows = draw(st.sets(st.integers(0, n - 1), max_size=2))
    x0 = np.array(draw(st.lists(st.floats(-2, 2), min_size=n, max_size=n)))
    return Structured(structure, coefficients, sorted(nan_rows)), x0


@settings(max_examples=80, deadline=None)
@given(solvers())
def test_equals_compute_pattern_apart_from_nan_in_both(problem):
    solver, x0 = problem
    with contextlib.redirect_stdout(io.StringIO()):
        rows, cols = solver.compute_pattern(x0.copy())
    solver.calls = 0
    printed = io.StringIO()
    with pytest.warns(RuntimeWarning) if solver.nan_rows else contextlib.nullcontext(), \
            contextlib.redirect_stdout(printed):
        pattern = detect_sparsity(solver, x0, abs_step=1e-6)
    assert solver.calls == len(x0) + 1 and printed.getvalue() == ""
    n = len(x0)
    assert pattern.shape == (n, n) and pattern.dtype == bool and pattern.format == "csr"
    theirs = {(r, c) for r, c in zip(rows.tolist(), cols.tolist()) if r not in solver.nan_rows}
    assert set(zip(*map(np.ndarray.tolist, pattern.nonzero()))) == theirs


def test_nan_and_inf_in_the_base_residual_are_reported():
    def fun(x):
        return np.array([x[0], np.nan, np.inf * x[1], x[0] * x[1]])

    with pytest.warns(RuntimeWarning, match=re.escape("the residual at x0 has 2 of 4 entries NaN or "
                                                      "infinite")):
        pattern = detect_sparsity(fun, np.array([1.0, 2.0]))
    # NaN before and after: no change; inf * x[1] stays inf: no change either.
    assert pattern.toarray().tolist() == [[True, False], [False, False], [False, False], [True, True]]


def test_more_points_find_entries_that_vanish_at_x0():
    def fun(x):
        return np.array([x[0] * x[1], x[1] * x[2], x[2]])

    x0 = np.zeros(3)
    calls = []
    counted = lambda x: calls.append(1) or fun(x)  # noqa: E731
    once = detect_sparsity(counted, x0)
    assert once.toarray().tolist() == [[False, False, False], [False, False, False],
                                       [False, False, True]]
    calls.clear()
    thrice = detect_sparsity(counted, x0, points=3, seed=7)
    assert len(calls) == 3 * (3 + 1)
    assert thrice.toarray().tolist() == [[True, True, False], [False, True, True],
                                         [False, False, True]]
    assert (detect_sparsity(fun, x0, points=3, seed=7) != thrice).nnz == 0  # seeded


def test_rectangular_and_used_by_estimate_jacobian():
    def fun(x):
        return np.concatenate([np.diff(x) ** 2, [x.sum()], [1.0]])

    x0 = np.arange(4.0)
    pattern = detect_sparsity(fun, x0)
    assert pattern.shape == (5, 4) and pattern.nnz == 3 * 2 + 4
    calls = []
    jac = estimate_jacobian(lambda x: calls.append(1) or fun(x), x0)
    # n + 1 for the pattern, whose base evaluation serves the differences too, then two per
    # group (3-point, SciPy's default).
    assert len(calls) == 5 + 2 * len(np.unique(jac_groups(pattern)))
    np.testing.assert_allclose(jac.toarray()[3], np.ones(4), rtol=1e-7)


def jac_groups(pattern):
    from vendrel.grouping import group_columns

    return group_columns(pattern)


@pytest.mark.parametrize("arguments, error, message", [
    (dict(points=0), ValueError, "points must be a positive integer, not 0"),
    (dict(points=1.5), ValueError, "points must be a positive integer, not 1.5"),
    (dict(points="two"), TypeError, "points must be an integer, not 'two'"),
    (dict(x0=[[1.0]]), ValueError, "x0 must be one-dimensional"),
    (dict(fun=lambda x: x[:1] if x[0] == 1.0 else x), ValueError,
     "fun returned 3 values at the evaluation raising x[0]; the base evaluation returned 1"),
])
def test_refusals(arguments, error, message):
    call = dict(fun=np.cumsum, x0=np.ones(3))
    call.update(arguments)
    with pytest.raises(error, match=re.escape(message)):
        detect_sparsity(call.pop("fun"), call.pop("x0"), **call)


def product_chain(x):
    return x[:-1] * x[1:]


def sorted_residual(x):
    return np.sort(x) - 1.0


def test_tracing_finds_what_vanishes_at_x0_in_one_call():
    x0 = np.array([1.0, 0.0, 2.0, 3.0])
    calls = []

    def counted(x):
        calls.append(1)
        return product_chain(x)

    perturbed = detect_sparsity(counted, x0)
    assert len(calls) == 5 and not perturbed[0, 0]  # d(x0 * x1)/dx0 vanishes at x1 = 0
    traced = detect_sparsity(counted, x0, method="trace")
    assert len(calls) == 6
    expected = np.eye(3, 4, dtype=bool) | np.eye(3, 4, k=1, dtype=bool)
    np.testing.assert_array_equal(traced.toarray(), expected)
    assert traced.dtype == bool and traced.format == "csr"


def test_auto_falls_back_to_perturbation_naming_the_operation():
    from vendrel.tracing import TracingError

    x0 = np.linspace(0.5, 2.0, 5)
    with pytest.raises(TracingError, match="sort"):
        detect_sparsity(sorted_residual, x0, method="trace")
    with pytest.warns(RuntimeWarning, match=r"could not be traced \(.*sort.*\); finding the "
                                            r"pattern by perturbation instead, 6 evaluations"):
        fallback = detect_sparsity(sorted_residual, x0, method="auto")
    np.testing.assert_array_equal(fallback.toarray(), detect_sparsity(sorted_residual, x0).toarray())


def test_auto_traces_a_solver_through_its_residual_function():
    class Chain(SparseSolver):
        def compute_residuals(self, x):
            r = x**3
            r[1:] -= x[:-1]
            return r

    x0 = np.linspace(1.0, 2.0, 6)
    with contextlib.redirect_stdout(io.StringIO()):
        rows, cols = Chain().compute_pattern(x0.copy())
    traced = detect_sparsity(Chain(), x0, method="auto")
    np.testing.assert_array_equal(traced.toarray(),
                                  scipy.sparse.coo_array((np.ones(len(rows)), (rows, cols)),
                                                         shape=(6, 6)).toarray() != 0)


def test_an_unknown_detection_method_is_refused():
    with pytest.raises(ValueError, match="method must be one of 'perturb', 'trace', 'auto', "
                                         "not 'guess'"):
        detect_sparsity(product_chain, np.ones(3), method="guess")
